#include "chelp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>

namespace kov::editor {

namespace {

constexpr int kLastField = 1022;
constexpr int kLastOption = -6;
constexpr int kLastGrid = 13;

struct HelpLocation {
  QString folder;
  QString page;  // empty: the folder's first page
};

HelpLocation Locate(const QString& file) {
  const QFileInfo info(file);
  if (info.isFile()) return {QDir::cleanPath(info.absolutePath()), info.fileName()};
  return {QDir::cleanPath(info.absoluteFilePath()), {}};
}

bool ShowTopic(HelpWindow& window, const QString& page) {
  return page.isEmpty() ? window.ShowDefaultTopic() : window.ShowTarget(page);
}

}  // namespace

std::optional<int> ContextForInterfaceValue(int identifier) {
  if (identifier >= help_context::kFirstFieldContext && identifier <= kLastField) return identifier;
  if (identifier <= -1 && identifier >= kLastOption) {
    return help_context::kOptionContextBase - identifier;
  }
  return std::nullopt;
}

std::optional<int> ContextForGrid(int identity) {
  if (identity < 0 || identity > kLastGrid) return std::nullopt;
  return help_context::kGridContextBase + identity;
}

CHelp::~CHelp() { CloseAll(); }

QString CHelp::DefaultHelpFile() { return HelpFolderFor(QCoreApplication::applicationDirPath()); }

QString CHelp::HelpFolderFor(const QString& programFolder) {
  const QDir folder(programFolder);
  const QString beside = folder.filePath(QStringLiteral("help"));
  if (QFileInfo(beside).isDir()) return beside;
  // Relative to the program's real folder, so that a package unpacked under another root, or
  // installed under another prefix, still finds its own pages.
  const QString installed =
      QDir::cleanPath(folder.filePath(QStringLiteral(MARNEL_INSTALLED_HELP_FROM_PROGRAM)));
  if (QFileInfo(installed).isDir()) return installed;
  return beside;
}

bool CHelp::Show(const QString& file, HelpCommand command, std::optional<int> contextNumber) {
  const HelpLocation location = Locate(file);
  HelpWindow* window = WindowFor(location.folder);
  bool shown = false;
  switch (command) {
    case HelpCommand::kDisplayContents:
      window->SelectContentsTab();
      shown = ShowTopic(*window, location.page);
      break;
    case HelpCommand::kDisplayIndex:
      window->SelectIndexTab();
      // An index opened on a fresh window still shows a page beside it.
      if (window->CurrentSource().isEmpty() && window->Browser()->document()->isEmpty()) {
        window->ShowDefaultTopic();
      }
      shown = window->Book().IsLoaded();
      break;
    case HelpCommand::kHelpContext:
      if (contextNumber) {
        const std::optional<QString> target = window->Book().TargetForContext(*contextNumber);
        if (target) {
          shown = window->ShowTarget(*target);
        } else {
          window->ShowDefaultTopic();
        }
        break;
      }
      shown = ShowTopic(*window, location.page);
      break;
    case HelpCommand::kDisplayTopic:
    default:
      shown = ShowTopic(*window, location.page);
      break;
  }
  window->show();
  window->raise();
  window->activateWindow();
  return shown;
}

void CHelp::CloseAll() {
  // Each window deletes itself when closed; the guarded pointers then read null.
  for (const QPointer<HelpWindow>& window : m_windows) {
    if (window) window->close();
  }
  m_windows.clear();
}

HelpWindow* CHelp::Window(const QString& file) const {
  const QString folder = Locate(file).folder;
  for (const QPointer<HelpWindow>& window : m_windows) {
    if (window && window->Book().Folder() == folder) return window;
  }
  return nullptr;
}

int CHelp::OpenWindowCount() const {
  int count = 0;
  for (const QPointer<HelpWindow>& window : m_windows) {
    if (window) ++count;
  }
  return count;
}

HelpWindow* CHelp::WindowFor(const QString& folder) {
  if (HelpWindow* open = Window(folder)) return open;
  std::erase_if(m_windows, [](const QPointer<HelpWindow>& window) { return window.isNull(); });
  HelpBook book;
  book.Load(folder);
  auto* window = new HelpWindow(std::move(book));
  window->setAttribute(Qt::WA_DeleteOnClose);
  m_windows.emplace_back(window);
  return window;
}

}  // namespace kov::editor
