// The help pages and the window that shows them. A help folder holds HTML pages and three small
// text files that say how the pages are reached: the contents tree, the index of terms and the
// map from context numbers to pages. HelpBook reads those files and holds no widgets; HelpWindow
// shows one book with its contents tree, an index search field and a page browser.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <map>
#include <optional>
#include <vector>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QTabWidget;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;

namespace kov::editor {

// The three reading aids of a help folder, beside its pages. One entry a line, blank lines and
// lines starting with "#" are skipped; the two fields of a line are separated by "|". A target
// is a page of the folder, optionally followed by "#" and an anchor of that page.
inline constexpr const char* kContentsFileName = "contents.txt";  // title | target
inline constexpr const char* kIndexFileName = "index.txt";        // term | target
inline constexpr const char* kContextFileName = "context.txt";    // number | target

struct ContentsEntry {
  QString title;
  QString target;
  std::vector<ContentsEntry> children;
};

struct IndexEntry {
  QString term;
  QString target;
};

class HelpBook {
 public:
  // Reads the three files of the folder. False when the contents file cannot be read or names
  // no page (then there is nothing to show); lines that cannot be read are skipped and listed
  // in Problems() without failing the load.
  bool Load(const QString& folder);

  QString Folder() const { return m_folder; }
  bool IsLoaded() const { return m_loaded; }
  QStringList Problems() const { return m_problems; }

  // Contents lines are indented by two blanks per level below their parent.
  const std::vector<ContentsEntry>& Contents() const { return m_contents; }
  // In file order, which is the order the index list shows.
  const std::vector<IndexEntry>& Index() const { return m_index; }
  const std::map<int, QString>& ContextMap() const { return m_context; }

  // The first entry of the contents.
  QString DefaultTarget() const;
  std::optional<QString> TargetForContext(int contextNumber) const;
  // The index entries whose term contains the text, ignoring case; those whose term begins
  // with it come first, each group in index order. An empty text matches every entry.
  std::vector<IndexEntry> FindInIndex(const QString& text) const;

  // The page file of a target ("page.html#anchor" -> folder/page.html).
  QString PagePath(const QString& target) const;
  QUrl UrlFor(const QString& target) const;
  bool PageExists(const QString& target) const;

 private:
  void ReadContents(const QString& path);
  void ReadIndex(const QString& path);
  void ReadContextMap(const QString& path);
  void AddProblem(const QString& file, int line, const QString& what);

  QString m_folder;
  bool m_loaded = false;
  std::vector<ContentsEntry> m_contents;
  std::vector<IndexEntry> m_index;
  std::map<int, QString> m_context;
  QStringList m_problems;
};

// A top-level window: a contents tab and an index tab beside the page browser, with back,
// forward and home buttons. It shows what its book holds and never asks anything.
class HelpWindow : public QWidget {
  Q_OBJECT

 public:
  explicit HelpWindow(HelpBook book, QWidget* parent = nullptr);

  const HelpBook& Book() const { return m_book; }

  // Shows the page of a target; when the page does not exist the browser says so and the
  // result is false.
  bool ShowTarget(const QString& target);
  // The first contents entry (or a note that the pages are missing).
  bool ShowDefaultTopic();
  void SelectContentsTab();
  // Switches to the index tab, puts the text in the search field and puts the focus there.
  void SelectIndexTab(const QString& text = {});

  // The page on show (a file URL, possibly with a fragment); empty when a note is shown.
  QUrl CurrentSource() const;

  // For the window's owner and for tests, which drive the widgets as a user would.
  QTextBrowser* Browser() const { return m_browser; }
  QTreeWidget* ContentsTree() const { return m_contentsTree; }
  QLineEdit* IndexField() const { return m_indexField; }
  QListWidget* IndexList() const { return m_indexList; }
  QTabWidget* NavigationTabs() const { return m_tabs; }

 private:
  void BuildContentsTree();
  void AddContentsItems(const std::vector<ContentsEntry>& entries, QTreeWidgetItem* parent);
  void FillIndexList(const QString& text);
  void OpenIndexItem(QListWidgetItem* item);
  void OpenFirstIndexMatch();
  void ShowNote(const QString& html);
  void FollowSource(const QUrl& url);

  HelpBook m_book;
  QTabWidget* m_tabs = nullptr;
  QTreeWidget* m_contentsTree = nullptr;
  QLineEdit* m_indexField = nullptr;
  QListWidget* m_indexList = nullptr;
  QTextBrowser* m_browser = nullptr;
};

}  // namespace kov::editor
