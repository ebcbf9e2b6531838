#include "frm_main.h"

#include <algorithm>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include "document/control_file_io.h"
#include "document/grid_section.h"
#include "document/interface_values.h"
#include "document/text_helpers.h"
#include "grids/grid_set.h"
#include "grids/grid_table_model.h"
#include "input/model.h"

namespace kov::editor {

namespace {

using namespace document;

const QString kEmTag = QStringLiteral("start.EM.end");
const QString kDaTag = QStringLiteral("start.DA.end");

const QString kDatasetFilter = QStringLiteral("Dataset (*.dat);;All Files (*)");
const QString kAllFilesFilter = QStringLiteral("All Files (*)");

// Characters a numeric text box takes, as a grid cell of the same kind does.
const QString kIntegerCharacters = QStringLiteral("0123456789");
const QString kRealCharacters = QStringLiteral("0123456789.,eE");

bool IsGridIdentity(int id) { return id >= 0 && id < kGridCount; }

bool TagAllows(const QString& tag, RunType runType) {
  if (tag.contains(QLatin1String(".DA."))) return runType == RunType::kDa;
  if (tag.contains(QLatin1String(".EM."))) return runType == RunType::kEm;
  return true;
}

// The characters the text box of an identifier accepts; empty for free text.
QString AcceptedCharacters(int id) {
  const InterfaceValueInfo* info = FindInterfaceValue(id);
  if (info == nullptr) return {};
  switch (info->type) {
    case ValueType::kInt16:
    case ValueType::kInt32:
      return kIntegerCharacters;
    case ValueType::kReal:
      // Stop criteria of the log-likelihood are tiny: 1e-10 is easier typed than its decimals.
      return id == kLogLikelihoodCriterion ? kRealCharacters + u'-' : kRealCharacters;
    default:
      return {};
  }
}

bool IsBooleanGroup(int id) {
  const InterfaceValueInfo* info = FindInterfaceValue(id);
  return info != nullptr && info->type == ValueType::kBoolean;
}

// The text a text box shows for a stored value.
QString DisplayText(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::Double:
      return FormatReal(value.toDouble());
    case QMetaType::Bool:
      return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    default:
      return value.toString();
  }
}

// Files a "&Browse" button names for reading; the others are written by a run.
bool IsInputFile(int id) {
  return id == kDatasetFile || id == kEmStartValuesFile || id == kDaStartValuesFile;
}

QLabel* Caption(const QString& text) { return new QLabel(text); }

// The least width of a path field; the fields grow with the window, and the full path shows on
// hover.
constexpr int kPathFieldWidth = 160;

// A form page scrolls rather than being cut off when the window is narrower than its fields, as
// at 1.5 scaling on a laptop screen; the grid pages scroll in their own views.
QScrollArea* Scrollable(QWidget* page) {
  auto* scroll = new QScrollArea;
  scroll->setWidget(page);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  return scroll;
}

bool IsPathField(int id) {
  return std::find(frmMain::kBrowseFields.begin(), frmMain::kBrowseFields.end(), id) !=
         frmMain::kBrowseFields.end();
}

}  // namespace

frmMain::frmMain(Document& document, FileDialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_document(document), m_dialogs(dialogs) {
  // The grids first: they attach to the document and follow its changes before the form does.
  m_gridSet = new grids::GridSet(m_document, this);
  m_tabs = new QTabWidget(this);
  m_tabs->addTab(Scrollable(BuildModelAndDataTab()), QStringLiteral("Model and Data"));
  m_tabs->addTab(Scrollable(BuildEstimationTab()), QStringLiteral("Estimation"));
  m_tabs->addTab(BuildLabelsTab(), QStringLiteral("Labels"));
  m_tabs->addTab(
      BuildTwoGridTab(kGammaRestrictions, QStringLiteral("Enter the parameter restriction for each class:"),
                      kGammaStartingValues, QStringLiteral("Enter the starting value for each class:"), {}),
      QStringLiteral("gamma"));
  m_tabs->addTab(
      BuildTwoGridTab(
          kLittleRhoRestrictions,
          QStringLiteral("Enter the parameter restriction for each item, response category and class:"),
          kLittleRhoStartingValues,
          QStringLiteral("Enter the starting value for each item, response category and class:"),
          QStringLiteral("WARNING:  User must look in output to verify that the latent class labels "
                         "are consistent with the rho parameters.")),
      QStringLiteral("rho"));
  m_tabs->addTab(
      BuildTwoGridTab(kDeltaRestrictions,
                      QStringLiteral("Enter the parameter restriction for each class and status:"),
                      kDeltaStartingValues,
                      QStringLiteral("Enter the starting value for each class and status:"), {}),
      QStringLiteral("DELTA"));
  m_tabs->addTab(BuildSubTabbedGridTab(&m_tauTabs, kTauRestrictions, kTauStartingValues,
                                       QStringLiteral("Select tau grid:"), {}),
                 QStringLiteral("TAU"));
  m_tabs->addTab(
      BuildSubTabbedGridTab(&m_bigRhoTabs, kBigRhoRestrictions, kBigRhoStartingValues,
                            QStringLiteral("Select set of rho parameters:"),
                            QStringLiteral("WARNING:  User must look in output to verify that the "
                                           "latent status labels are consistent with the rho "
                                           "parameters.")),
      QStringLiteral("RHO"));
  m_tabs->addTab(Scrollable(BuildDataAugmentationTab()), QStringLiteral("Data Augmentation"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_tabs);

  BindGrids();
  // A grid is shown when its tab (and sub-tab) is in front; it does its pending work then. A tab
  // takes no focus when clicked, so a count still being typed is committed first.
  for (QTabWidget* tabs : {m_tabs, m_labelTabs, m_tauTabs, m_bigRhoTabs}) {
    connect(tabs, &QTabWidget::currentChanged, this, [this] {
      FlushAllData();
      UpdateShownGrids();
    });
  }
  connect(&m_document, &Document::InterfaceValueChanged, this, &frmMain::OnInterfaceValueChanged);
  connect(&m_document, &Document::DocumentEvent, this, &frmMain::EventHandler);
  connect(&m_document, &Document::FlushRequested, this, &frmMain::FlushAllData);

  UpdateAllControls();
  localValidateControls();
}

frmMain::~frmMain() {
  // The controls of the grids go before the grids they show.
  disconnect(&m_document, nullptr, this, nullptr);
  for (QTabWidget* tabs : {m_labelTabs, m_tauTabs, m_bigRhoTabs, m_tabs}) disconnect(tabs, nullptr, this, nullptr);
  delete m_tabs;
  m_tabs = nullptr;
  m_grids.clear();
}

// ---- building the tabs ---------------------------------------------------------------------

QLineEdit* frmMain::AddTextInput(QGridLayout* layout, int row, int id, const QString& tag, QWidget* caption) {
  const InterfaceValueInfo* info = FindInterfaceValue(id);
  auto* input = new QLineEdit;
  input->setObjectName(QStringLiteral("txtInputs_%1").arg(id));
  layout->addWidget(caption != nullptr ? caption : Caption(QString::fromLatin1(info->caption)), row, 0);
  layout->addWidget(input, row, 1);
  m_textInputs[id] = input;
  if (id == kTimeCount) {
    input->setToolTip(QStringLiteral("At most %1 occasions with status items").arg(kov::input::kMaxOccasions));
  }
  if (IsPathField(id)) {
    // Paths are read whole: a wide field, and the full text on hover.
    input->setMinimumWidth(kPathFieldWidth);
    connect(input, &QLineEdit::textChanged, input, [input](const QString& text) { input->setToolTip(text); });
  }
  if (!AcceptedCharacters(id).isEmpty()) input->installEventFilter(this);
  connect(input, &QLineEdit::editingFinished, this, [this, id] { ProcessChangeInTextInputs(id); });
  Manage(input, tag);
  return input;
}

QCheckBox* frmMain::AddCheckBox(int id, const QString& tag) {
  auto* box = new QCheckBox(QString::fromLatin1(FindInterfaceValue(id)->caption));
  box->setObjectName(QStringLiteral("chkInputs_%1").arg(id));
  m_checkBoxes[id] = box;
  connect(box, &QCheckBox::toggled, this, [this, id](bool checked) {
    if (!m_updatingControls) m_document.SetInterfaceValue(id, checked);
  });
  Manage(box, tag);
  return box;
}

QButtonGroup* frmMain::AddOptionGroup(int id, const std::vector<std::pair<QString, int>>& options,
                                      const QString& tag, QWidget** frame, const QString& caption) {
  auto* box = new QGroupBox(caption);
  auto* boxLayout = new QHBoxLayout(box);
  auto* group = new QButtonGroup(box);
  for (const auto& [text, value] : options) {
    auto* button = new QRadioButton(text);
    group->addButton(button, value);
    boxLayout->addWidget(button);
    Manage(button, tag);
  }
  boxLayout->addStretch();
  m_optionGroups[id] = group;
  connect(group, &QButtonGroup::idToggled, this, [this, id](int buttonId, bool checked) {
    if (checked) OnOptionChosen(id, buttonId);
  });
  *frame = box;
  return group;
}

QPushButton* frmMain::AddBrowseButton(QGridLayout* layout, int row, int index, const QString& tag) {
  auto* button = new QPushButton(QStringLiteral("&Browse"));
  button->setObjectName(QStringLiteral("cmdButtons_%1").arg(index));
  layout->addWidget(button, row, 2);
  cmdButtons[static_cast<std::size_t>(index)] = button;
  connect(button, &QPushButton::clicked, this, [this, index] { Browse(index); });
  Manage(button, tag);
  return button;
}

void frmMain::Manage(QWidget* widget, const QString& tag, std::function<bool()> condition) {
  for (ManagedControl& control : m_managed) {
    if (control.widget != widget) continue;
    if (!tag.isEmpty()) control.tag = tag;
    if (condition) control.condition = std::move(condition);
    return;
  }
  widget->setProperty("tag", tag);
  m_managed.push_back({widget, tag, std::move(condition)});
}

QWidget* frmMain::BuildModelAndDataTab() {
  auto* page = new QWidget;
  auto* columns = new QHBoxLayout(page);

  auto* left = new QGridLayout;
  int row = 0;
  for (int id : {kClassCount, kClassItemCount, kStatusCount, kStatusItemCount, kTimeCount}) {
    AddTextInput(left, row++, id);
  }
  Manage(TextInput(kClassItemCount), {}, [this] { return IntValue(kClassCount) >= 1; });
  Manage(TextInput(kStatusItemCount), {}, [this] { return IntValue(kStatusCount) >= 1; });
  Manage(TextInput(kTimeCount), {}, [this] { return IntValue(kStatusCount) >= 1; });

  QWidget* frame = nullptr;
  AddOptionGroup(kFirstOrder, {{QStringLiteral("First Order"), 1}, {QStringLiteral("Second Order"), 0}},
                 {}, &frame, QStringLiteral("Order of process:"));
  Manage(OptionButton(kFirstOrder, 0), {}, [this] { return IntValue(kTimeCount) >= 3; });
  left->addWidget(frame, row++, 0, 1, 3);

  AddTextInput(left, row, kDatasetFile);
  AddBrowseButton(left, row++, 0, {});

  AddOptionGroup(kReadFormat,
                 {{QStringLiteral("Free field"), 0}, {QStringLiteral("Use this input format:"), 1}}, {},
                 &frame, QStringLiteral("Read data as follows:"));
  {
    // The format text sits in the frame, after its option.
    auto* format = new QLineEdit;
    format->setObjectName(QStringLiteral("txtInputs_%1").arg(kInputFormat));
    m_textInputs[kInputFormat] = format;
    connect(format, &QLineEdit::editingFinished, this,
            [this] { ProcessChangeInTextInputs(kInputFormat); });
    auto* boxLayout = static_cast<QHBoxLayout*>(frame->layout());
    boxLayout->insertWidget(boxLayout->count() - 1, format, 1);
    Manage(format, {}, [this] { return IntValue(kReadFormat) == 1; });
  }
  left->addWidget(frame, row++, 0, 1, 3);

  AddOptionGroup(kMissingData, {{QStringLiteral("Yes"), 1}, {QStringLiteral("No"), 0}}, {}, &frame,
                 QStringLiteral("Dataset contains missing data?"));
  left->addWidget(frame, row++, 0, 1, 3);
  AddTextInput(left, row++, kSubjectCount);
  AddTextInput(left, row++, kResponsePatternCount);
  left->setRowStretch(row, 1);

  auto* right = new QGridLayout;
  row = 0;
  AddOptionGroup(kPrintResiduals, {{QStringLiteral("Yes"), 1}, {QStringLiteral("No"), 0}}, kEmTag,
                 &frame, QStringLiteral("Print residuals to outfile?"));
  right->addWidget(frame, row++, 0, 1, 3);
  AddOptionGroup(kSaveEmEstimates, {{QStringLiteral("Yes"), 1}, {QStringLiteral("No"), 0}}, kEmTag,
                 &frame, QStringLiteral("Send parameter estimates to a file to be used later?"));
  right->addWidget(frame, row++, 0, 1, 3);
  AddTextInput(right, row, kEmEstimatesFile, kEmTag);
  AddBrowseButton(right, row++, 3, kEmTag);
  const auto savesEstimates = [this] { return m_document.vGetInterfaceValue(kSaveEmEstimates).toBool(); };
  Manage(TextInput(kEmEstimatesFile), {}, savesEstimates);
  Manage(BrowseButton(3), {}, savesEstimates);

  right->addWidget(Caption(QStringLiteral("Comments:")), row++, 0, 1, 3);
  m_comments = new QPlainTextEdit;
  m_comments->setObjectName(QStringLiteral("txtInputs_%1").arg(kComments));
  m_comments->installEventFilter(this);
  right->addWidget(m_comments, row++, 0, 1, 3);
  AddTextInput(right, row, kOutFile, kEmTag);
  AddBrowseButton(right, row++, 2, kEmTag);

  columns->addLayout(left, 1);
  columns->addLayout(right, 1);
  return page;
}

QWidget* frmMain::BuildEstimationTab() {
  auto* page = new QWidget;
  auto* layout = new QGridLayout(page);
  int row = 0;
  QWidget* frame = nullptr;
  AddOptionGroup(kEstimationType,
                 {{QStringLiteral("New"), kNewEstimation},
                  {QStringLiteral("Continue Previous"), kContinuePrevious},
                  {QStringLiteral("No estimation, goodness-of-fit only"), kNoEstimation}},
                 kEmTag, &frame, QStringLiteral("Type of Estimation"));
  layout->addWidget(frame, row++, 0, 1, 3);
  AddTextInput(layout, row, kEmStartValuesFile, kEmTag);
  AddBrowseButton(layout, row++, 1, kEmTag);
  const auto readsStartValues = [this] { return IntValue(kEstimationType) != kNewEstimation; };
  Manage(TextInput(kEmStartValuesFile), {}, readsStartValues);
  Manage(BrowseButton(1), {}, readsStartValues);
  AddTextInput(layout, row++, kMaxIterations, kEmTag);
  AddTextInput(layout, row++, kConvergenceCriterion, kEmTag);

  // The check box writes the control file's 'STARTS' line; the fields are its four numbers.
  layout->addWidget(AddCheckBox(kRandomStarts, kEmTag), row++, 0, 1, 3);
  const auto startsOn = [this] { return m_document.vGetInterfaceValue(kRandomStarts).toBool(); };
  for (int id : {kStartCount, kFinalStartCount, kFirstStageIterations, kStartSeed}) {
    Manage(AddTextInput(layout, row++, id, kEmTag), {}, startsOn);
  }
  // The 'STOP' line: its check box is the caption of its criterion.
  QCheckBox* stop = AddCheckBox(kLogLikelihoodStop, kEmTag);
  Manage(AddTextInput(layout, row++, kLogLikelihoodCriterion, kEmTag, stop), {},
         [this] { return m_document.vGetInterfaceValue(kLogLikelihoodStop).toBool(); });
  // The 'POSTERIOR' line: written when the file name is not empty.
  AddTextInput(layout, row++, kPosteriorFile, kEmTag);
  layout->addWidget(AddCheckBox(kPosteriorByPattern, kEmTag), row++, 0, 1, 3);
  // The 'ENUMERATE' line: the model fitted at every size of a range of classes or statuses.
  layout->addWidget(AddCheckBox(kCompareSizes, kEmTag), row++, 0, 1, 3);
  const auto comparesSizes = [this] {
    return m_document.vGetInterfaceValue(kCompareSizes).toBool();
  };
  QButtonGroup* kinds = AddOptionGroup(
      kEnumerationKind,
      {{QStringLiteral("Classes"), kCompareClasses},
       {QStringLiteral("Statuses"), kCompareStatuses}},
      kEmTag, &frame, QString::fromLatin1(FindInterfaceValue(kEnumerationKind)->caption));
  for (QAbstractButton* button : kinds->buttons()) Manage(button, {}, comparesSizes);
  layout->addWidget(frame, row++, 0, 1, 3);
  for (int id : {kSmallestSize, kLargestSize, kBootstrapSamples}) {
    Manage(AddTextInput(layout, row++, id, kEmTag), {}, comparesSizes);
  }
  layout->setRowStretch(row, 1);
  layout->setColumnStretch(1, 1);
  return page;
}

QWidget* frmMain::BuildGridPage(int identity, const QString& introduction,
                                const QString& selectorCaption, const QString& warning) {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  GridPage grid;
  layout->addWidget(new QLabel(introduction));
  if (!selectorCaption.isEmpty()) {
    auto* selectorRow = new QHBoxLayout;
    grid.selector = new QComboBox;
    grid.selector->setObjectName(QStringLiteral("cboSelector_%1").arg(identity));
    selectorRow->addWidget(new QLabel(selectorCaption));
    selectorRow->addWidget(grid.selector, 1);
    layout->addLayout(selectorRow);
  }
  grid.view = new QTableView;
  grid.view->setObjectName(QStringLiteral("grdGrid_%1").arg(identity));
  grid.view->horizontalHeader()->setStretchLastSection(false);
  layout->addWidget(grid.view, 1);
  if (!warning.isEmpty()) {
    auto* label = new QLabel(warning);
    label->setWordWrap(true);
    layout->addWidget(label);
  }
  m_grids[identity] = grid;
  return page;
}

QWidget* frmMain::BuildLabelsTab() {
  m_labelTabs = new QTabWidget;
  m_labelTabs->addTab(BuildGridPage(kClassLabels, QStringLiteral("Enter a name for each latent class:")),
                      QStringLiteral("Class Labels"));
  m_labelTabs->addTab(
      BuildGridPage(kClassItems, QStringLiteral("Enter each class item, its number of response "
                                                "categories and their labels:")),
      QStringLiteral("Class Items"));
  m_labelTabs->addTab(
      BuildGridPage(kStatusLabels, QStringLiteral("Enter a name for each latent status:")),
      QStringLiteral("Status Labels"));
  m_labelTabs->addTab(
      BuildGridPage(kStatusItems, QStringLiteral("Enter each status item, its number of response "
                                                 "categories and their labels:")),
      QStringLiteral("Status Items"));
  return m_labelTabs;
}

QWidget* frmMain::BuildTwoGridTab(int restrictions, const QString& restrictionIntro,
                                  int startingValues, const QString& startingIntro,
                                  const QString& warning) {
  auto* page = new QWidget;
  auto* layout = new QHBoxLayout(page);
  layout->addWidget(BuildGridPage(restrictions, restrictionIntro), 1);
  layout->addWidget(BuildGridPage(startingValues, startingIntro, {}, warning), 1);
  return page;
}

QWidget* frmMain::BuildSubTabbedGridTab(QTabWidget** subTabs, int restrictions, int startingValues,
                                        const QString& selectorCaption, const QString& warning) {
  *subTabs = new QTabWidget;
  (*subTabs)->addTab(
      BuildGridPage(restrictions, QStringLiteral("Enter the parameter restriction for each parameter:"),
                    selectorCaption),
      QStringLiteral("Parameter Restrictions"));
  (*subTabs)->addTab(
      BuildGridPage(startingValues, QStringLiteral("Enter the starting value for each parameter:"),
                    selectorCaption, warning),
      QStringLiteral("Starting Values"));
  return *subTabs;
}

QWidget* frmMain::BuildDataAugmentationTab() {
  auto* page = new QWidget;
  auto* layout = new QGridLayout(page);
  int row = 0;
  for (int id : {kIterationsBetweenImputations, kImputationCount, kRandomSeed}) {
    AddTextInput(layout, row++, id, kDaTag);
  }
  AddTextInput(layout, row, kDaStartValuesFile, kDaTag);
  AddBrowseButton(layout, row++, 4, kDaTag);
  AddTextInput(layout, row, kSeriesFile, kDaTag);
  AddBrowseButton(layout, row++, 5, kDaTag);

  chkSaveDAParamEst = new QCheckBox(QStringLiteral("Write individual parameter estimates to file"));
  chkSaveDAParamEst->setObjectName(QStringLiteral("chkSaveDAParamEst"));
  layout->addWidget(chkSaveDAParamEst, row++, 0, 1, 3);
  Manage(chkSaveDAParamEst, kDaTag);
  connect(chkSaveDAParamEst, &QCheckBox::toggled, this, [this](bool checked) {
    if (!m_updatingControls) m_document.SetInterfaceValue(kWriteIndividualEstimates, checked);
  });

  AddTextInput(layout, row, kIndividualEstimatesFile, kDaTag);
  AddBrowseButton(layout, row++, 6, kDaTag);
  const auto writesIndividual = [this] {
    return m_document.vGetInterfaceValue(kWriteIndividualEstimates).toBool();
  };
  Manage(TextInput(kIndividualEstimatesFile), {}, writesIndividual);
  Manage(BrowseButton(6), {}, writesIndividual);
  AddTextInput(layout, row, kDaOutFile, kDaTag);
  AddBrowseButton(layout, row++, 7, kDaTag);
  layout->setRowStretch(row, 1);
  layout->setColumnStretch(1, 1);
  return page;
}

// ---- controls and the document -------------------------------------------------------------

QLineEdit* frmMain::TextInput(int id) const {
  const auto found = m_textInputs.find(id);
  return found == m_textInputs.end() ? nullptr : found->second;
}

QCheckBox* frmMain::CheckBox(int id) const {
  const auto found = m_checkBoxes.find(id);
  return found == m_checkBoxes.end() ? nullptr : found->second;
}

QRadioButton* frmMain::OptionButton(int id, int value) const {
  const auto found = m_optionGroups.find(id);
  if (found == m_optionGroups.end()) return nullptr;
  return qobject_cast<QRadioButton*>(found->second->button(value));
}

QTableView* frmMain::GridView(int identity) const {
  const auto found = m_grids.find(identity);
  return found == m_grids.end() ? nullptr : found->second.view;
}

grids::GridTableModel* frmMain::GridModel(int identity) const {
  const auto found = m_grids.find(identity);
  return found == m_grids.end() ? nullptr : found->second.model;
}

QComboBox* frmMain::GridSelector(int identity) const {
  const auto found = m_grids.find(identity);
  return found == m_grids.end() ? nullptr : found->second.selector;
}

grids::KovGrid* frmMain::Grid(int identity) const { return m_gridSet->Grid(identity); }

void frmMain::SetRunType(RunType runType) {
  m_runType = runType;
  m_gridSet->SetRunType(runType);
}

QVariant frmMain::vGetInterfaceValue(int id) const { return m_document.vGetInterfaceValue(id); }

qint32 frmMain::IntValue(int id) const {
  QVariant typed;
  // A count that is not a number yet counts as none.
  if (!m_document.TypedInterfaceValue(id, &typed)) return 0;
  return typed.toInt();
}

void frmMain::SetInterfaceValue(int id, const QVariant& value) {
  if (QLineEdit* input = TextInput(id)) {
    input->setText(DisplayText(value));
    ProcessChangeInTextInputs(id);
    return;
  }
  if (id == kComments) {
    m_comments->setPlainText(value.toString());
    ProcessChangeInTextInputs(id);
    return;
  }
  m_document.SetInterfaceValue(id, value);
}

int frmMain::MaxOccasions() { return kov::input::kMaxOccasions; }

void frmMain::ProcessChangeInTextInputs(int id) {
  QString text;
  if (id == kComments) {
    text = m_comments->toPlainText();
  } else if (QLineEdit* input = TextInput(id)) {
    text = input->text();
  } else {
    return;
  }
  // The engine refuses more occasions than its limit once there are status items: say so here
  // rather than after Run.
  if (id == kTimeCount && IntValue(kStatusItemCount) > 0 && text.trimmed().toInt() > MaxOccasions()) {
    emit Note(QStringLiteral("Number of times: at most ") + QString::number(MaxOccasions()) +
              QStringLiteral(" occasions can be estimated; ") + text.trimmed() + QStringLiteral(" was not taken"));
    UpdateControl(id);
    return;
  }
  // The engine refuses a control file whose random-start settings it cannot run.
  if (QString why = RefusedStartSetting(id, text.trimmed(), IntValue(kStartCount), IntValue(kFinalStartCount));
      !why.isEmpty()) {
    why.chop(1);  // its full stop
    emit Note(why + QStringLiteral("; ") + text.trimmed() + QStringLiteral(" was not taken"));
    UpdateControl(id);
    return;
  }
  const int outer = m_committing;
  m_committing = id;
  m_document.SetInterfaceValue(id, text);
  m_committing = outer;
}

void frmMain::OnOptionChosen(int id, int buttonId) {
  if (m_updatingControls) return;
  if (IsBooleanGroup(id)) {
    m_document.SetInterfaceValue(id, buttonId != 0);
  } else {
    m_document.SetInterfaceValue(id, QVariant::fromValue(static_cast<qint16>(buttonId)));
  }
}

void frmMain::UpdateControl(int id) {
  const QVariant value = m_document.vGetInterfaceValue(id);
  const bool wasUpdating = m_updatingControls;
  m_updatingControls = true;
  if (QLineEdit* input = TextInput(id)) {
    const QString text = DisplayText(value);
    if (input->text() != text) input->setText(text);
  } else if (id == kComments) {
    if (m_comments->toPlainText() != value.toString()) m_comments->setPlainText(value.toString());
  } else if (id == kWriteIndividualEstimates) {
    chkSaveDAParamEst->setChecked(value.toBool());
  } else if (QCheckBox* box = CheckBox(id)) {
    box->setChecked(value.toBool());
  } else if (const auto found = m_optionGroups.find(id); found != m_optionGroups.end()) {
    QButtonGroup* group = found->second;
    const int buttonId = IsBooleanGroup(id) ? (value.toBool() ? 1 : 0) : value.toInt();
    if (QAbstractButton* button = group->button(buttonId)) {
      button->setChecked(true);
    } else if (QAbstractButton* checked = group->checkedButton()) {
      // A value no option stands for: no option is chosen.
      group->setExclusive(false);
      checked->setChecked(false);
      group->setExclusive(true);
    }
  }
  m_updatingControls = wasUpdating;
}

void frmMain::UpdateAllControls() {
  for (const InterfaceValueInfo& info : InterfaceValues()) UpdateControl(info.id);
}

void frmMain::OnInterfaceValueChanged(int id) {
  if (!IsGridIdentity(id) && id != m_committing) UpdateControl(id);
  // The reading code sets values one by one; the fills and rules wait for the whole file. The
  // grids follow every change by themselves (GridSet), also while a file is read.
  if (!m_document.IsLoading()) LocalEventHandler(id);
}

void frmMain::LocalEventHandler(int id) {
  switch (id) {
    case kEmEstimatesFile:
      FillFromParameterFile();
      break;
    case kOutFile:
      FillFromOutfile();
      break;
    case kClassCount:
    case kStatusCount:
    case kTimeCount:
    case kEstimationType:
      localValidateControls();
      break;
    case kClassItemCount:
    case kStatusItemCount:
      SetTabEnableState();
      break;
    case kSaveEmEstimates:
    case kReadFormat:
    case kWriteIndividualEstimates:
    case kFirstOrder:
    case kRandomStarts:
    case kLogLikelihoodStop:
    case kCompareSizes: UpdateEnabledStates(); break;
    default:
      break;
  }
}

void frmMain::FillFromParameterFile() {
  const QString parameters = m_document.vGetInterfaceValue(kEmEstimatesFile).toString();
  const QString daStart = m_document.vGetInterfaceValue(kDaStartValuesFile).toString();
  // Data augmentation starts from the estimates EM writes, so its start file follows the EM one
  // for as long as it names the same file; one the user named differently is left alone.
  const bool following = daStart.isEmpty() || daStart == m_followedParameterFile;
  m_followedParameterFile = parameters;
  if (following && !parameters.isEmpty() && daStart != parameters) {
    SetInterfaceValue(kDaStartValuesFile, parameters);
  }
  if (m_document.vGetInterfaceValue(kSeriesFile).toString().isEmpty() && !parameters.isEmpty()) {
    SetInterfaceValue(kSeriesFile, FolderPart(parameters) + FileTitle(parameters) + QStringLiteral(".ser"));
  }
}

void frmMain::FillFromOutfile() {
  const QString outfile = m_document.vGetInterfaceValue(kOutFile).toString();
  if (m_document.vGetInterfaceValue(kDaOutFile).toString().isEmpty() && !outfile.isEmpty()) {
    SetInterfaceValue(kDaOutFile, FolderPart(outfile) + FileTitle(outfile) + QStringLiteral("_da") +
                                      Extension(outfile));
  }
}

void frmMain::localValidateControls() {
  m_document.ApplyConsistencyRules();
  UpdateEnabledStates();
  SetTabEnableState();
}

void frmMain::UpdateEnabledStates() {
  for (const ManagedControl& control : m_managed) {
    const bool enabled = TagAllows(control.tag, m_runType) && (!control.condition || control.condition());
    control.widget->setEnabled(enabled);
  }
}

void frmMain::SetTabEnableState() {
  const bool classes = IntValue(kClassCount) >= 1;
  const bool classItems = classes && IntValue(kClassItemCount) >= 1;
  const bool statuses = IntValue(kStatusCount) >= 1;
  const bool statusItems = statuses && IntValue(kStatusItemCount) >= 1;
  m_labelTabs->setTabEnabled(kClassLabelsTab, classes);
  m_labelTabs->setTabEnabled(kClassItemsTab, classItems);
  m_labelTabs->setTabEnabled(kStatusLabelsTab, statuses);
  m_labelTabs->setTabEnabled(kStatusItemsTab, statusItems);
  m_tabs->setTabEnabled(kGammaTab, classes);
  m_tabs->setTabEnabled(kLittleRhoTab, classItems);
  m_tabs->setTabEnabled(kDeltaTab, statuses);
  m_tabs->setTabEnabled(kTauTab, statuses);
  m_tabs->setTabEnabled(kBigRhoTab, statusItems);
}

void frmMain::EventHandler(int event) {
  switch (event) {
    case Document::kEventNew:
    case Document::kEventOpened:
      m_followedParameterFile = m_document.vGetInterfaceValue(kEmEstimatesFile).toString();
      UpdateAllControls();
      localValidateControls();
      break;
    case kEventRunTypeChanged:
      UpdateEnabledStates();
      break;
    default:
      break;
  }
}

void frmMain::FlushAllData() {
  for (const auto& [id, input] : m_textInputs) ProcessChangeInTextInputs(id);
  ProcessChangeInTextInputs(kComments);
  CommitGridEdits();
}

void frmMain::Browse(int index) {
  const int id = kBrowseFields.at(static_cast<std::size_t>(index));
  const QString filter = id == kDatasetFile ? kDatasetFilter : kAllFilesFilter;
  const QString path = IsInputFile(id) ? m_dialogs.AskOpenPath(filter)
                                       : m_dialogs.AskSavePath(filter, TextInput(id)->text());
  if (!path.isEmpty()) SetInterfaceValue(id, path);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_comments && event->type() == QEvent::FocusOut) {
    ProcessChangeInTextInputs(kComments);
  } else if (event->type() == QEvent::KeyPress) {
    for (const auto& [id, input] : m_textInputs) {
      if (input != watched) continue;
      const QString text = static_cast<QKeyEvent*>(event)->text();
      const QString accepted = AcceptedCharacters(id);
      // Control characters (editing keys, Enter, Delete, shortcuts) always pass.
      const char16_t code = text.isEmpty() ? 0 : text.at(0).unicode();
      if (code >= 32 && code != 127 && !accepted.contains(text.at(0))) return true;
      break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

// ---- grids ---------------------------------------------------------------------------------

void frmMain::PlaceGrid(int identity, int tab, QTabWidget* subTabs, int subTab) {
  GridPage& grid = m_grids.at(identity);
  grid.tab = tab;
  grid.subTabs = subTabs;
  grid.subTab = subTab;
}

void frmMain::BindGrids() {
  PlaceGrid(kClassLabels, kLabelsTab, m_labelTabs, kClassLabelsTab);
  PlaceGrid(kClassItems, kLabelsTab, m_labelTabs, kClassItemsTab);
  PlaceGrid(kStatusLabels, kLabelsTab, m_labelTabs, kStatusLabelsTab);
  PlaceGrid(kStatusItems, kLabelsTab, m_labelTabs, kStatusItemsTab);
  PlaceGrid(kGammaRestrictions, kGammaTab);
  PlaceGrid(kGammaStartingValues, kGammaTab);
  PlaceGrid(kLittleRhoRestrictions, kLittleRhoTab);
  PlaceGrid(kLittleRhoStartingValues, kLittleRhoTab);
  PlaceGrid(kDeltaRestrictions, kDeltaTab);
  PlaceGrid(kDeltaStartingValues, kDeltaTab);
  PlaceGrid(kTauRestrictions, kTauTab, m_tauTabs, 0);
  PlaceGrid(kTauStartingValues, kTauTab, m_tauTabs, 1);
  PlaceGrid(kBigRhoRestrictions, kBigRhoTab, m_bigRhoTabs, 0);
  PlaceGrid(kBigRhoStartingValues, kBigRhoTab, m_bigRhoTabs, 1);

  for (auto& [identity, grid] : m_grids) {
    grid.model = new grids::GridTableModel(*m_gridSet, identity, grid.view);
    grid.view->setModel(grid.model);
    // One delegate per view: a delegate's commit reaches every view that uses it.
    grid.view->setItemDelegate(new grids::GridItemDelegate(grid.view));
    grid.model->TrackCurrentCell(grid.view->selectionModel());
    connect(grid.model, &grids::GridTableModel::CommitNote, this, &frmMain::Note);
    if (grid.selector != nullptr) {
      const int id = identity;
      connect(grid.model, &grids::GridTableModel::SelectorChanged, this, [this, id] { FillSelector(id); });
      connect(grid.selector, &QComboBox::activated, grid.model, &grids::GridTableModel::SelectEntry);
      FillSelector(identity);
    }
  }
  UpdateShownGrids();
}

void frmMain::FillSelector(int identity) {
  const GridPage& grid = m_grids.at(identity);
  const QStringList entries = grid.model->SelectorEntries();
  QStringList shown;
  for (int i = 0; i < grid.selector->count(); ++i) shown << grid.selector->itemText(i);
  if (shown != entries) {
    grid.selector->clear();
    grid.selector->addItems(entries);
  }
  grid.selector->setCurrentIndex(grid.model->SelectedEntry());
}

bool frmMain::IsGridOnFront(int identity) const {
  const GridPage& grid = m_grids.at(identity);
  if (m_tabs->currentIndex() != grid.tab) return false;
  return grid.subTabs == nullptr || grid.subTabs->currentIndex() == grid.subTab;
}

void frmMain::UpdateShownGrids() {
  for (const auto& [identity, grid] : m_grids) grid.model->SetShown(IsGridOnFront(identity));
}

void frmMain::MarkGridForRepaint(int identity, int level) { m_gridSet->MarkGridForRepaint(identity, level); }

void frmMain::CommitGridEdits() {
  for (const auto& [identity, grid] : m_grids) {
    // The view sets no index widgets of its own, so a widget on the current cell is its editor.
    QWidget* editor = grid.view->indexWidget(grid.view->currentIndex());
    QAbstractItemDelegate* delegate = grid.view->itemDelegateForIndex(grid.view->currentIndex());
    if (editor == nullptr || delegate == nullptr) continue;
    // What pressing Enter in the cell does: the value goes through the grid's commit check.
    emit delegate->commitData(editor);
    emit delegate->closeEditor(editor, QAbstractItemDelegate::NoHint);
  }
}

}  // namespace kov::editor
