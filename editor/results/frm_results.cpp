#include "frm_results.h"

#include <QAction>
#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QListWidget>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSplitter>
#include <QStackedBarSeries>
#include <QStackedWidget>
#include <QStyle>
#include <QSvgGenerator>
#include <QTableView>
#include <QTextBrowser>
#include <QToolBar>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include "document/user_interface.h"
#include "document/window_file_dialogs.h"
#include "heat_map_view.h"
#include "message_sink.h"
#include "results_table_model.h"

namespace kov::results {

namespace {

const QString kSummaryPage = QStringLiteral("Fit summary");
const QString kSizesPage = QStringLiteral("Sizes compared");
const QString kCriteriaPage = QStringLiteral("Information criteria by size");
// The size a chart is exported at when it has not been laid out on screen.
const QSize kExportSize(900, 560);
// Of the screen the window may take at most.
constexpr double kScreenShare = 0.9;

using document::WindowFileDialogs;

QString WithSuffix(const QString& path, const QString& suffix) {
  return QFileInfo(path).suffix().isEmpty() ? path + QLatin1Char('.') + suffix : path;
}

// A page name as a file name: letters, digits and underscores.
QString FileStem(const QString& name) {
  QString stem;
  for (const QChar ch : name) stem += ch.isLetterOrNumber() ? ch.toLower() : QChar(u'_');
  while (stem.contains(QStringLiteral("__")))
    stem.replace(QStringLiteral("__"), QStringLiteral("_"));
  return stem;
}

QString Fixed(const Value& value, int decimals) {
  return value ? QString::number(*value, 'f', decimals) : QStringLiteral("not available");
}

QValueAxis* ProbabilityAxis() {
  auto* axis = new QValueAxis;
  axis->setRange(0.0, 1.0);
  axis->setTickCount(6);
  axis->setLabelFormat(QStringLiteral("%.1f"));
  axis->setTitleText(QStringLiteral("Probability"));
  return axis;
}

QChartView* NewChartView(QChart* chart) {
  chart->legend()->setAlignment(Qt::AlignBottom);
  chart->legend()->setVisible(true);
  chart->setAnimationOptions(QChart::NoAnimation);
  auto* view = new QChartView(chart);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(360, 260);
  return view;
}

// Stacked bars, one per item, of the probability of each response category.
QChartView* ProfileChart(const Matrix& profile) {
  auto* chart = new QChart;
  chart->setTitle(profile.title +
                  QStringLiteral(": probability of each response category by item"));
  auto* series = new QStackedBarSeries;
  for (int k = 0; k < profile.columnLabels.size(); ++k) {
    auto* set = new QBarSet(profile.columnLabels[k]);
    for (const std::vector<double>& item : profile.values)
      *set << (k < static_cast<int>(item.size()) ? item[k] : 0.0);
    series->append(set);
  }
  chart->addSeries(series);
  auto* items = new QBarCategoryAxis;
  items->append(profile.rowLabels);
  items->setTitleText(QStringLiteral("Item"));
  chart->addAxis(items, Qt::AlignBottom);
  series->attachAxis(items);
  QValueAxis* probability = ProbabilityAxis();
  chart->addAxis(probability, Qt::AlignLeft);
  series->attachAxis(probability);
  return NewChartView(chart);
}

// One line per status over the occasions.
QChartView* PrevalenceChart(const Matrix& prevalence) {
  auto* chart = new QChart;
  chart->setTitle(prevalence.title + QStringLiteral(": status prevalences by occasion"));
  auto* occasions = new QValueAxis;
  const int count = static_cast<int>(prevalence.values.size());
  occasions->setRange(1.0, std::max(count, 2));
  occasions->setTickCount(std::max(count, 2));
  occasions->setLabelFormat(QStringLiteral("%d"));
  occasions->setTitleText(QStringLiteral("Occasion"));
  chart->addAxis(occasions, Qt::AlignBottom);
  QValueAxis* probability = ProbabilityAxis();
  chart->addAxis(probability, Qt::AlignLeft);
  for (int s = 0; s < prevalence.columnLabels.size(); ++s) {
    auto* line = new QLineSeries;
    line->setName(prevalence.columnLabels[s]);
    line->setPointsVisible(true);
    for (int t = 0; t < count; ++t) line->append(t + 1, prevalence.values[t][s]);
    chart->addSeries(line);
    line->attachAxis(occasions);
    line->attachAxis(probability);
  }
  return NewChartView(chart);
}

// The information criteria against the number of classes; the lowest of each marks its choice.
QChartView* CriteriaChart(const std::vector<CompareRow>& rows) {
  auto* chart = new QChart;
  chart->setTitle(QStringLiteral("Information criteria by number of classes (lower is better)"));
  struct Criterion {
    const char* name;
    Value CompareRow::*value;
  };
  const Criterion criteria[] = {{"AIC", &CompareRow::aic},
                                {"BIC", &CompareRow::bic},
                                {"Adjusted BIC", &CompareRow::adjustedBic},
                                {"CAIC", &CompareRow::caic}};
  auto* sizes = new QValueAxis;
  auto* values = new QValueAxis;
  sizes->setTitleText(QStringLiteral("Number of classes"));
  sizes->setLabelFormat(QStringLiteral("%d"));
  values->setTitleText(QStringLiteral("Criterion"));
  values->setLabelFormat(QStringLiteral("%.0f"));
  chart->addAxis(sizes, Qt::AlignBottom);
  chart->addAxis(values, Qt::AlignLeft);
  double low = 0.0;
  double high = 0.0;
  bool any = false;
  int first = rows.empty() ? 1 : rows.front().size;
  int last = rows.empty() ? 2 : rows.back().size;
  for (const Criterion& criterion : criteria) {
    auto* line = new QLineSeries;
    line->setName(QString::fromLatin1(criterion.name));
    line->setPointsVisible(true);
    for (const CompareRow& row : rows) {
      const Value value = row.*criterion.value;
      if (!value) continue;
      line->append(row.size, *value);
      low = any ? std::min(low, *value) : *value;
      high = any ? std::max(high, *value) : *value;
      any = true;
    }
    chart->addSeries(line);
    line->attachAxis(sizes);
    line->attachAxis(values);
  }
  sizes->setRange(first, std::max(last, first + 1));
  sizes->setTickCount(std::max(last, first + 1) - first + 1);
  if (any) {
    const double pad = std::max((high - low) * 0.08, 1.0);
    values->setRange(low - pad, high + pad);
    values->applyNiceNumbers();
  }
  return NewChartView(chart);
}

bool PaintTo(QWidget* chart, QPaintDevice& device, const QSize& size) {
  QPainter painter;
  if (!painter.begin(&device)) return false;
  painter.setRenderHint(QPainter::Antialiasing);
  const double scale = std::min(device.width() / static_cast<double>(size.width()),
                                device.height() / static_cast<double>(size.height()));
  painter.scale(scale, scale);
  if (auto* heatMap = qobject_cast<HeatMapView*>(chart)) {
    heatMap->Paint(painter, QRectF(QPointF(0, 0), size));
  } else {
    chart->render(&painter, QPoint(), QRegion(QRect(QPoint(0, 0), size)), QWidget::DrawChildren);
  }
  return painter.end();
}

}  // namespace

frmResults::frmResults(QWidget* parent)
    : QMainWindow(parent),
      m_ownDialogs(std::make_unique<WindowFileDialogs>(this)),
      m_dialogs(m_ownDialogs.get()) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Results"));
  auto* splitter = new QSplitter(this);
  m_list = new QListWidget(splitter);
  m_list->setObjectName(QStringLiteral("lstPages"));
  m_stack = new QStackedWidget(splitter);
  splitter->addWidget(m_list);
  splitter->addWidget(m_stack);
  splitter->setStretchFactor(1, 1);
  setCentralWidget(splitter);
  connect(m_list, &QListWidget::currentRowChanged, m_stack, &QStackedWidget::setCurrentIndex);

  QToolBar* tools = addToolBar(QStringLiteral("Results"));
  tools->setMovable(false);
  QAction* report =
      tools->addAction(QStringLiteral("Text &report"), this, [this] { OpenReport(); });
  report->setObjectName(QStringLiteral("actReport"));
  QAction* csv = tools->addAction(QStringLiteral("Export table as &CSV..."), this,
                                  [this] { ExportTable(CurrentPage()); });
  csv->setObjectName(QStringLiteral("actExportCsv"));
  QAction* picture = tools->addAction(QStringLiteral("Export chart as &picture..."), this,
                                      [this] { ExportChart(CurrentPage()); });
  picture->setObjectName(QStringLiteral("actExportPicture"));
  connect(m_list, &QListWidget::currentRowChanged, this, [this, csv, picture](int row) {
    const bool valid = row >= 0 && row < static_cast<int>(m_pages.size());
    csv->setEnabled(valid && m_pages[static_cast<std::size_t>(row)].model != nullptr);
    picture->setEnabled(valid && m_pages[static_cast<std::size_t>(row)].chart != nullptr);
  });

  const QScreen* screen = QGuiApplication::primaryScreen();
  QSize wanted(1100, 760);
  if (screen != nullptr) {
    const QRect available = screen->availableGeometry();
    wanted = wanted.boundedTo(QSize(static_cast<int>(available.width() * kScreenShare),
                                    static_cast<int>(available.height() * kScreenShare)));
  }
  resize(wanted);
}

frmResults::~frmResults() = default;

void frmResults::SetFileDialogs(document::FileDialogs* dialogs) {
  m_dialogs = dialogs != nullptr ? dialogs : m_ownDialogs.get();
}

bool frmResults::Fail(const QString& text, const QString& title) {
  gui::ShowMessage(this, text, title, gui::MessageButtons::kOk, gui::MessageIcon::kCritical);
  return false;
}

void frmResults::Clear() {
  m_list->clear();
  while (m_stack->count() > 0) {
    QWidget* page = m_stack->widget(0);
    m_stack->removeWidget(page);
    delete page;
  }
  m_pages.clear();
}

bool frmResults::OpenResults(const QString& path) {
  QString error;
  Results results;
  if (!results.Read(path, &error)) return Fail(error, QStringLiteral("Results"));
  Clear();
  m_results = std::move(results);
  m_isComparison = false;
  setWindowTitle(QStringLiteral("Results - ") + QDir::toNativeSeparators(m_results.Path()));
  AddSummaryPage();
  for (const ParameterTable& table : m_results.Tables()) {
    auto* model =
        new ParameterTableModel(table, ParameterTableModel::ExtrasFor(m_results, table), this);
    AddTablePage(table.title, model,
                 table.rowLabels.isEmpty() ? QString() : QStringLiteral("Parameter"));
  }
  AddResultsCharts();
  FitListToNames();
  m_list->setCurrentRow(0);
  return true;
}

bool frmResults::OpenComparison(const QString& path) {
  QString error;
  Comparison comparison;
  if (!comparison.Read(path, &error)) return Fail(error, QStringLiteral("Compare sizes"));
  Clear();
  m_comparison = std::move(comparison);
  m_isComparison = true;
  setWindowTitle(QStringLiteral("Compare sizes - ") +
                 QDir::toNativeSeparators(m_comparison.Path()));
  AddComparisonPages();
  FitListToNames();
  m_list->setCurrentRow(0);
  return true;
}

void frmResults::FitListToNames() {
  // Every page name whole, whatever the font and scale.
  m_list->setMinimumWidth(m_list->sizeHintForColumn(0) + 2 * m_list->frameWidth() +
                          m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
}

void frmResults::AddPage(Page page) {
  m_list->addItem(page.name);
  m_stack->addWidget(page.widget);
  m_pages.push_back(std::move(page));
}

void frmResults::AddSummaryPage() {
  const FitSummary& fit = m_results.Fit();
  QString html = QStringLiteral("<h3>%1</h3>")
                     .arg(m_results.RunType().isEmpty() ? QStringLiteral("Run")
                                                        : m_results.RunType().toHtmlEscaped());
  for (const QString& warning : m_results.Warnings()) {
    html += QStringLiteral("<p style=\"color:#a00000\"><b>Warning:</b> %1</p>")
                .arg(warning.toHtmlEscaped());
  }
  const auto row = [](const QString& name, const QString& value) {
    return QStringLiteral("<tr><td>%1</td><td align=\"right\">&nbsp;&nbsp;%2</td></tr>")
        .arg(name, value);
  };
  html += QStringLiteral("<table cellpadding=\"3\">");
  html += row(QStringLiteral("Log-likelihood"), Fixed(fit.logLikelihood, 2));
  html += row(QStringLiteral("Parameters estimated"), Fixed(fit.parameters, 0));
  if (fit.gSquared) {
    html += row(
        QStringLiteral("G-squared"),
        QStringLiteral("%1 (df %2, p %3)")
            .arg(Fixed(fit.gSquared, 2), Fixed(fit.degreesOfFreedom, 0), Fixed(fit.gSquaredP, 4)));
  }
  if (fit.pearson) {
    html += row(QStringLiteral("Pearson X-squared"),
                QStringLiteral("%1 (p %2)").arg(Fixed(fit.pearson, 2), Fixed(fit.pearsonP, 4)));
  }
  html += row(QStringLiteral("AIC"), Fixed(fit.aic, 2));
  html += row(QStringLiteral("BIC"), Fixed(fit.bic, 2));
  html += row(QStringLiteral("Adjusted BIC"), Fixed(fit.adjustedBic, 2));
  html += row(QStringLiteral("CAIC"), Fixed(fit.caic, 2));
  html += row(QStringLiteral("Entropy"), Fixed(fit.entropy, 3));
  if (fit.starts > 0) {
    html += row(QStringLiteral("Starts reaching the best value"),
                QStringLiteral("%1 of %2").arg(fit.startsAtBest).arg(fit.starts));
  }
  html += QStringLiteral("</table>");
  if (m_results.HasIntervals()) {
    html += QStringLiteral(
        "<p>Estimates are the means over the imputations; each table gives the interval "
        "(lower, upper) and, where present, the fraction of missing information.</p>");
  } else if (m_results.HasErrors()) {
    html += QStringLiteral(
        "<p>Each table gives the standard error (SE) beside each estimate; an empty SE marks a "
        "fixed parameter.</p>");
  }
  auto* text = new QTextBrowser;
  text->setObjectName(QStringLiteral("txtSummary"));
  text->setHtml(html);
  AddPage(Page{kSummaryPage, text, nullptr, nullptr});
}

void frmResults::AddTablePage(const QString& name, QAbstractItemModel* model,
                              const QString& rowTitle, QWidget* extra) {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* view = new QTableView(page);
  view->setModel(model);
  view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  view->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  view->setAlternatingRowColors(true);
  layout->addWidget(view);
  if (extra != nullptr) layout->addWidget(extra);
  model->setProperty("rowTitle", rowTitle);
  AddPage(Page{name, page, model, nullptr});
}

void frmResults::AddChartPage(const QString& name, QWidget* chart) {
  AddPage(Page{name, chart, nullptr, chart});
}

void frmResults::AddResultsCharts() {
  for (const Matrix& profile : m_results.ItemProfiles()) {
    AddChartPage(QStringLiteral("Profile: ") + profile.title, ProfileChart(profile));
  }
  for (const Matrix& prevalence : m_results.StatusPrevalences()) {
    if (prevalence.values.size() < 2) continue;
    AddChartPage(QStringLiteral("Prevalences: ") + prevalence.title, PrevalenceChart(prevalence));
  }
  for (const Matrix& transition : m_results.TransitionMatrices()) {
    AddChartPage(QStringLiteral("Transitions: ") + transition.title, new HeatMapView(transition));
  }
}

void frmResults::AddComparisonPages() {
  auto* bar = new QWidget;
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* sizes = new QComboBox(bar);
  sizes->setObjectName(QStringLiteral("cboSize"));
  for (const CompareRow& row : m_comparison.Rows())
    sizes->addItem(QStringLiteral("%1 classes").arg(row.size), row.size);
  auto* report = new QPushButton(QStringLiteral("Open its &report"), bar);
  auto* results = new QPushButton(QStringLiteral("Open its r&esults"), bar);
  layout->addWidget(new QLabel(QStringLiteral("Size:"), bar));
  layout->addWidget(sizes);
  layout->addWidget(report);
  layout->addWidget(results);
  layout->addStretch(1);
  connect(report, &QPushButton::clicked, this,
          [this, sizes] { OpenSizeReport(sizes->currentData().toInt()); });
  connect(results, &QPushButton::clicked, this,
          [this, sizes] { OpenSizeResults(sizes->currentData().toInt()); });
  AddTablePage(kSizesPage, new ComparisonModel(m_comparison.Rows(), this), QStringLiteral("Size"),
               bar);
  AddChartPage(kCriteriaPage, CriteriaChart(m_comparison.Rows()));
}

QStringList frmResults::PageNames() const {
  QStringList names;
  for (const Page& page : m_pages) names << page.name;
  return names;
}

const frmResults::Page* frmResults::FindPage(const QString& name) const {
  for (const Page& page : m_pages) {
    if (page.name == name) return &page;
  }
  return nullptr;
}

bool frmResults::ShowPage(const QString& name) {
  const QStringList names = PageNames();
  const int row = static_cast<int>(names.indexOf(name));
  if (row < 0) return false;
  m_list->setCurrentRow(row);
  return true;
}

QString frmResults::CurrentPage() const {
  const int row = m_list->currentRow();
  return row >= 0 && row < static_cast<int>(m_pages.size())
             ? m_pages[static_cast<std::size_t>(row)].name
             : QString();
}

QAbstractItemModel* frmResults::PageModel(const QString& name) const {
  const Page* page = FindPage(name);
  return page != nullptr ? page->model : nullptr;
}

QWidget* frmResults::PageChart(const QString& name) const {
  const Page* page = FindPage(name);
  return page != nullptr ? page->chart : nullptr;
}

QString frmResults::AskExportPath(const QString& filter, const QString& name) const {
  // Beside the results file, named after it and the page.
  const QFileInfo source(m_isComparison ? m_comparison.Path() : m_results.Path());
  return m_dialogs->AskSavePath(
      filter, source.dir().filePath(source.completeBaseName() + QLatin1Char('_') + name));
}

bool frmResults::ExportTable(const QString& name, const QString& path) {
  const Page* page = FindPage(name);
  if (page == nullptr || page->model == nullptr) return false;
  QString chosen = path.isEmpty() ? AskExportPath(QStringLiteral("CSV File (*.csv)"),
                                                  FileStem(name) + QStringLiteral(".csv"))
                                  : path;
  if (chosen.isEmpty()) return false;
  chosen = WithSuffix(chosen, QStringLiteral("csv"));
  const QByteArray text = ModelCsv(*page->model, page->model->property("rowTitle").toString());
  QSaveFile file(chosen);
  if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
    return Fail(QStringLiteral("Unable to write file:\n%1\n%2")
                    .arg(QDir::toNativeSeparators(chosen), file.errorString()),
                QStringLiteral("Export"));
  }
  return true;
}

bool frmResults::ExportChart(const QString& name, const QString& path) {
  const Page* page = FindPage(name);
  if (page == nullptr || page->chart == nullptr) return false;
  QString chosen = path;
  if (chosen.isEmpty()) {
    chosen =
        AskExportPath(QStringLiteral("PNG Image (*.png);;SVG Image (*.svg);;PDF Document (*.pdf)"),
                      FileStem(name) + QStringLiteral(".png"));
    if (chosen.isEmpty()) return false;
  }
  chosen = WithSuffix(chosen, QStringLiteral("png"));
  const QString suffix = QFileInfo(chosen).suffix().toLower();
  QWidget* chart = page->chart;
  // A chart never shown has no size of its own yet.
  if (!chart->isVisible()) chart->resize(kExportSize);
  const QSize size = chart->size();
  const auto failed = [this, &chosen](const QString& reason) {
    return Fail(QStringLiteral("Unable to write file:\n%1\n%2")
                    .arg(QDir::toNativeSeparators(chosen), reason),
                QStringLiteral("Export"));
  };
  if (suffix == QLatin1String("pdf")) {
    QPdfWriter writer(chosen);
    writer.setPageOrientation(QPageLayout::Landscape);
    writer.setTitle(name);
    if (!PaintTo(chart, writer, size))
      return failed(QStringLiteral("The PDF could not be written."));
    return QFileInfo(chosen).size() > 0 || failed(QStringLiteral("The PDF could not be written."));
  }
  QSaveFile file(chosen);
  if (!file.open(QIODevice::WriteOnly)) return failed(file.errorString());
  if (suffix == QLatin1String("svg")) {
    QSvgGenerator generator;
    generator.setOutputDevice(&file);
    generator.setSize(size);
    generator.setViewBox(QRect(QPoint(0, 0), size));
    generator.setTitle(name);
    if (!PaintTo(chart, generator, size)) return failed(file.errorString());
  } else {
    // Twice the size on screen, so that the picture stays sharp in a document.
    QImage image(size * 2, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    if (!PaintTo(chart, image, size) || !image.save(&file, "PNG"))
      return failed(file.errorString());
  }
  if (!file.commit()) return failed(file.errorString());
  return true;
}

QString frmResults::ReportPath() const {
  if (m_isComparison || m_results.Path().isEmpty()) return {};
  // The report is X.out beside X.json; the name the engine recorded serves otherwise.
  const QFileInfo json(m_results.Path());
  const QString beside = json.dir().filePath(json.completeBaseName() + QStringLiteral(".out"));
  if (QFileInfo::exists(beside) || m_results.ReportFile().isEmpty()) return beside;
  return json.dir().absoluteFilePath(m_results.ReportFile());
}

bool frmResults::OpenReport() {
  const QString path = ReportPath();
  if (path.isEmpty() || !QFileInfo::exists(path) || !m_reportOpener) return false;
  return m_reportOpener(path);
}

bool frmResults::OpenSizeReport(int size) {
  const QString path = m_comparison.ReportOfSize(size);
  if (!QFileInfo::exists(path)) {
    return Fail(QStringLiteral("The report of %1 classes is not there:\n%2")
                    .arg(size)
                    .arg(QDir::toNativeSeparators(path)),
                QStringLiteral("Compare sizes"));
  }
  return m_reportOpener && m_reportOpener(path);
}

frmResults* frmResults::OpenSizeResults(int size) {
  auto* window = new frmResults;
  window->SetFileDialogs(m_dialogs == m_ownDialogs.get() ? nullptr : m_dialogs);
  window->SetReportOpener(m_reportOpener);
  if (!window->OpenResults(m_comparison.ResultsOfSize(size))) {
    delete window;
    return nullptr;
  }
  window->show();
  return window;
}

}  // namespace kov::results
