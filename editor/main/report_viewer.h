// Showing a report (or any text file the engine wrote) in the desktop's text editor.
#pragma once

#include <QString>

#include <functional>

namespace kov::editor {

class ReportViewer {
 public:
  // Opens an existing file, given its absolute path; false when nothing could show it.
  using Opener = std::function<bool(const QString& absolutePath)>;

  explicit ReportViewer(Opener opener = OpenInTextEditor) : m_opener(std::move(opener)) {}
  void SetOpener(Opener opener) { m_opener = std::move(opener); }

  // A relative path is taken in runFolder, where the run host ran the engine. A file
  // that does not exist is not opened and nothing is shown. True when the file was handed on.
  bool View(const QString& path, const QString& runFolder) const;

  // The desktop's handler for the file (its text editor for a report); when the desktop has
  // none, $VISUAL or $EDITOR in a terminal window.
  static bool OpenInTextEditor(const QString& absolutePath);

 private:
  Opener m_opener;
};

}  // namespace kov::editor
