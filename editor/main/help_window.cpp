#include "help_window.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextStream>
#include <QToolBar>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

namespace kov::editor {

namespace {

constexpr int kTargetRole = Qt::UserRole;
constexpr int kIndentPerLevel = 2;

struct Line {
  int number = 0;
  QString text;
};

// The lines that carry entries: blank lines and comment lines are dropped, and every line keeps
// its number for the problem list. Nothing when the file cannot be read.
std::optional<std::vector<Line>> ReadEntryLines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
  QTextStream in(&file);
  std::vector<Line> lines;
  int number = 0;
  while (!in.atEnd()) {
    const QString text = in.readLine();
    ++number;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) continue;
    lines.push_back({number, text});
  }
  return lines;
}

// "left | right" with both sides trimmed; nothing when there is no "|" or a side is empty.
std::optional<std::pair<QString, QString>> SplitEntry(const QString& text) {
  const qsizetype bar = text.indexOf(QLatin1Char('|'));
  if (bar < 0) return std::nullopt;
  QString left = text.left(bar).trimmed();
  QString right = text.mid(bar + 1).trimmed();
  if (left.isEmpty() || right.isEmpty()) return std::nullopt;
  return std::make_pair(left, right);
}

QString PageOf(const QString& target) { return target.section(QLatin1Char('#'), 0, 0); }

QString AnchorOf(const QString& target) {
  const qsizetype hash = target.indexOf(QLatin1Char('#'));
  return hash < 0 ? QString() : target.mid(hash + 1);
}

}  // namespace

bool HelpBook::Load(const QString& folder) {
  m_folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  m_contents.clear();
  m_index.clear();
  m_context.clear();
  m_problems.clear();
  ReadContents(QDir(m_folder).filePath(QLatin1String(kContentsFileName)));
  ReadIndex(QDir(m_folder).filePath(QLatin1String(kIndexFileName)));
  ReadContextMap(QDir(m_folder).filePath(QLatin1String(kContextFileName)));
  m_loaded = !m_contents.empty();
  return m_loaded;
}

void HelpBook::AddProblem(const QString& file, int line, const QString& what) {
  m_problems << QStringLiteral("%1 line %2: %3").arg(file).arg(line).arg(what);
}

void HelpBook::ReadContents(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const auto lines = ReadEntryLines(path);
  if (!lines) {
    AddProblem(name, 0, QStringLiteral("cannot be read"));
    return;
  }
  // levels[d] is the list that receives entries of depth d: the top list, then the children of
  // the last entry of each level above.
  std::vector<std::vector<ContentsEntry>*> levels{&m_contents};
  for (const Line& line : *lines) {
    qsizetype blanks = 0;
    while (blanks < line.text.size() && line.text.at(blanks) == QLatin1Char(' ')) ++blanks;
    const auto entry = SplitEntry(line.text);
    if (!entry) {
      AddProblem(name, line.number, QStringLiteral("expected \"title | target\""));
      continue;
    }
    if (blanks % kIndentPerLevel != 0) {
      AddProblem(name, line.number, QStringLiteral("indent is not a multiple of two blanks"));
      continue;
    }
    const auto depth = static_cast<std::size_t>(blanks / kIndentPerLevel);
    if (depth >= levels.size()) {
      AddProblem(name, line.number, QStringLiteral("indented deeper than the entry above"));
      continue;
    }
    levels.resize(depth + 1);
    levels[depth]->push_back({entry->first, entry->second, {}});
    levels.push_back(&levels[depth]->back().children);
  }
}

void HelpBook::ReadIndex(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const auto lines = ReadEntryLines(path);
  if (!lines) {
    AddProblem(name, 0, QStringLiteral("cannot be read"));
    return;
  }
  for (const Line& line : *lines) {
    const auto entry = SplitEntry(line.text);
    if (!entry) {
      AddProblem(name, line.number, QStringLiteral("expected \"term | target\""));
      continue;
    }
    m_index.push_back({entry->first, entry->second});
  }
}

void HelpBook::ReadContextMap(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const auto lines = ReadEntryLines(path);
  if (!lines) {
    AddProblem(name, 0, QStringLiteral("cannot be read"));
    return;
  }
  for (const Line& line : *lines) {
    const auto entry = SplitEntry(line.text);
    bool isNumber = false;
    // QString::toInt reads the C locale's digits whatever the user's locale is.
    const int number = entry ? entry->first.toInt(&isNumber) : 0;
    if (!entry || !isNumber) {
      AddProblem(name, line.number, QStringLiteral("expected \"number | target\""));
      continue;
    }
    if (!m_context.emplace(number, entry->second).second) {
      AddProblem(name, line.number, QStringLiteral("context number %1 is given twice").arg(number));
    }
  }
}

QString HelpBook::DefaultTarget() const {
  return m_contents.empty() ? QString() : m_contents.front().target;
}

std::optional<QString> HelpBook::TargetForContext(int contextNumber) const {
  const auto found = m_context.find(contextNumber);
  if (found == m_context.end()) return std::nullopt;
  return found->second;
}

std::vector<IndexEntry> HelpBook::FindInIndex(const QString& text) const {
  const QString wanted = text.trimmed();
  std::vector<IndexEntry> starting;
  std::vector<IndexEntry> containing;
  for (const IndexEntry& entry : m_index) {
    if (entry.term.startsWith(wanted, Qt::CaseInsensitive)) {
      starting.push_back(entry);
    } else if (entry.term.contains(wanted, Qt::CaseInsensitive)) {
      containing.push_back(entry);
    }
  }
  starting.insert(starting.end(), containing.begin(), containing.end());
  return starting;
}

QString HelpBook::PagePath(const QString& target) const {
  return QDir(m_folder).filePath(PageOf(target));
}

QUrl HelpBook::UrlFor(const QString& target) const {
  QUrl url = QUrl::fromLocalFile(PagePath(target));
  const QString anchor = AnchorOf(target);
  if (!anchor.isEmpty()) url.setFragment(anchor);
  return url;
}

bool HelpBook::PageExists(const QString& target) const {
  return !PageOf(target).isEmpty() && QFileInfo(PagePath(target)).isFile();
}

HelpWindow::HelpWindow(HelpBook book, QWidget* parent)
    : QWidget(parent, Qt::Window), m_book(std::move(book)) {
  setWindowTitle(tr("Marnel Help"));
  resize(1040, 720);

  m_browser = new QTextBrowser;
  m_browser->setOpenExternalLinks(false);
  m_browser->setSearchPaths({m_book.Folder()});

  m_contentsTree = new QTreeWidget;
  m_contentsTree->setHeaderHidden(true);
  m_contentsTree->setColumnCount(1);
  m_contentsTree->header()->setStretchLastSection(true);

  m_indexField = new QLineEdit;
  m_indexField->setPlaceholderText(tr("Type a word to find"));
  m_indexField->setClearButtonEnabled(true);
  m_indexList = new QListWidget;

  auto* indexPage = new QWidget;
  auto* indexLayout = new QVBoxLayout(indexPage);
  indexLayout->setContentsMargins(4, 4, 4, 4);
  indexLayout->addWidget(m_indexField);
  indexLayout->addWidget(m_indexList);

  m_tabs = new QTabWidget;
  m_tabs->addTab(m_contentsTree, tr("&Contents"));
  m_tabs->addTab(indexPage, tr("&Index"));

  auto* splitter = new QSplitter;
  splitter->addWidget(m_tabs);
  splitter->addWidget(m_browser);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({300, 740});

  auto* toolBar = new QToolBar;
  QAction* back = toolBar->addAction(tr("Back"), m_browser, &QTextBrowser::backward);
  QAction* forward = toolBar->addAction(tr("Forward"), m_browser, &QTextBrowser::forward);
  toolBar->addAction(tr("Home"), this, [this] { ShowDefaultTopic(); });
  back->setShortcut(QKeySequence::Back);
  forward->setShortcut(QKeySequence::Forward);
  back->setEnabled(false);
  forward->setEnabled(false);
  connect(m_browser, &QTextBrowser::backwardAvailable, back, &QAction::setEnabled);
  connect(m_browser, &QTextBrowser::forwardAvailable, forward, &QAction::setEnabled);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(toolBar);
  layout->addWidget(splitter, 1);

  connect(m_contentsTree, &QTreeWidget::itemActivated, this,
          [this](QTreeWidgetItem* item) { ShowTarget(item->data(0, kTargetRole).toString()); });
  connect(m_contentsTree, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { ShowTarget(item->data(0, kTargetRole).toString()); });
  connect(m_indexField, &QLineEdit::textChanged, this, &HelpWindow::FillIndexList);
  connect(m_indexField, &QLineEdit::returnPressed, this, &HelpWindow::OpenFirstIndexMatch);
  connect(m_indexList, &QListWidget::itemActivated, this, &HelpWindow::OpenIndexItem);
  connect(m_browser, &QTextBrowser::sourceChanged, this, &HelpWindow::FollowSource);

  BuildContentsTree();
  FillIndexList({});
}

void HelpWindow::BuildContentsTree() {
  m_contentsTree->clear();
  AddContentsItems(m_book.Contents(), nullptr);
  m_contentsTree->expandToDepth(0);
}

void HelpWindow::AddContentsItems(const std::vector<ContentsEntry>& entries,
                                  QTreeWidgetItem* parent) {
  for (const ContentsEntry& entry : entries) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_contentsTree);
    item->setText(0, entry.title);
    item->setToolTip(0, entry.title);
    item->setData(0, kTargetRole, entry.target);
    AddContentsItems(entry.children, item);
  }
}

void HelpWindow::FillIndexList(const QString& text) {
  m_indexList->clear();
  for (const IndexEntry& entry : m_book.FindInIndex(text)) {
    auto* item = new QListWidgetItem(entry.term, m_indexList);
    item->setData(kTargetRole, entry.target);
  }
  if (m_indexList->count() > 0) m_indexList->setCurrentRow(0);
}

void HelpWindow::OpenIndexItem(QListWidgetItem* item) {
  if (item) ShowTarget(item->data(kTargetRole).toString());
}

void HelpWindow::OpenFirstIndexMatch() {
  QListWidgetItem* item = m_indexList->currentItem();
  OpenIndexItem(item ? item : m_indexList->item(0));
}

bool HelpWindow::ShowTarget(const QString& target) {
  if (!m_book.PageExists(target)) {
    ShowNote(tr("<h1>Page not found</h1><p>The help page <b>%1</b> is not in the folder %2.</p>")
                 .arg(target.toHtmlEscaped(), m_book.Folder().toHtmlEscaped()));
    return false;
  }
  // A click and an activation of the same contents entry must not make two history steps.
  const QUrl url = m_book.UrlFor(target);
  if (url != m_browser->source()) {
    m_browser->setSource(url);
  } else if (url.hasFragment()) {
    m_browser->scrollToAnchor(url.fragment());
  }
  return true;
}

bool HelpWindow::ShowDefaultTopic() {
  if (!m_book.IsLoaded()) {
    ShowNote(tr("<h1>Help pages not found</h1>"
                "<p>The help pages are installed in the folder <b>help</b> beside the program. "
                "No contents were found in %1.</p>")
                 .arg(m_book.Folder().toHtmlEscaped()));
    return false;
  }
  return ShowTarget(m_book.DefaultTarget());
}

void HelpWindow::SelectContentsTab() { m_tabs->setCurrentIndex(0); }

void HelpWindow::SelectIndexTab(const QString& text) {
  m_tabs->setCurrentIndex(1);
  m_indexField->setText(text);
  m_indexField->setFocus();
}

QUrl HelpWindow::CurrentSource() const { return m_browser->source(); }

void HelpWindow::ShowNote(const QString& html) {
  // A note is not a page: clearing the source keeps Back from returning to it.
  m_browser->setSource(QUrl());
  m_browser->setHtml(html);
}

void HelpWindow::FollowSource(const QUrl& url) {
  // Keep the contents tree on the page being read, whichever way it was reached. An entry
  // with the same anchor wins over one for the page as a whole; when a heading and its child
  // name the same page, the child (met later) is the more specific.
  if (!url.isLocalFile()) return;
  const QString page = QDir::cleanPath(url.toLocalFile());
  QTreeWidgetItem* pageMatch = nullptr;
  QTreeWidgetItem* exactMatch = nullptr;
  for (QTreeWidgetItemIterator it(m_contentsTree); *it; ++it) {
    const QString target = (*it)->data(0, kTargetRole).toString();
    if (QDir::cleanPath(m_book.PagePath(target)) != page) continue;
    if (AnchorOf(target) == url.fragment()) {
      exactMatch = *it;
    } else if (!pageMatch) {
      pageMatch = *it;
    }
  }
  QTreeWidgetItem* match = exactMatch ? exactMatch : pageMatch;
  if (!match) return;
  const QSignalBlocker blocker(m_contentsTree);
  m_contentsTree->setCurrentItem(match);
  m_contentsTree->scrollToItem(match);
}

}  // namespace kov::editor
