// A control file as a plain value: what the reader found in it, and what it had to say about it.
// Nothing here knows the document or shows anything; the document applies the value to itself
// and to its grids, and shows the diagnostics.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <map>
#include <optional>
#include <vector>

namespace kov::document {

// A settings line after the last section as the file held it, with the values it was read as:
// saved unchanged while the values are, so that its spelling and spacing survive.
struct KeptLine {
  QString text;
  QVariantList values;
};

// One finding of the reader or the writer, in the words the user is shown. line counts the
// file's non-blank lines from 1 (0: the file as a whole); field names the value or the block it
// is about.
struct Diagnostic {
  int line = 0;
  QString field;
  QString message;
};

// A grid's section as the grid gave it for writing: its lines, or the value it cannot write (the
// diagnostic's line counting the section's own lines from 1). The writer reports the problem
// only when it reaches the section, so that an earlier failing block is the one reported.
struct SectionLines {
  QStringList lines;
  std::optional<Diagnostic> problem;
};

struct ControlFileData {
  // The interface values the file sets, by identifier, each as the document stores it: of the
  // identifier's type when it converts.
  std::map<int, QVariant> values;
  // The numbers of response categories of the class and the status items, by the identity of
  // the items grid that shows them, as the grid's cells hold them: text, which the writer checks
  // since a typed cell need not be a number.
  std::map<int, QStringList> categoryCounts;
  // The file's non-blank lines; the grids' sections begin at sectionsStart.
  QStringList lines;
  int sectionsStart = 0;
  // The optional settings lines after the last section, by the identifier of the check box that
  // turns each on.
  std::map<int, KeptLine> keptLines;
  // A previous-layout file, converted only by saving it.
  bool previousVersion = false;
  // For writing: each grid's section by the grid's identity, written in file order; a grid that
  // is not here has no section.
  std::map<int, SectionLines> sections;
};

struct ControlFileRead {
  ControlFileData data;
  std::vector<Diagnostic> diagnostics;
  // False when reading stopped at a diagnostic: the file cannot be opened.
  bool complete = false;
};

// The text of a control file, or why it cannot be written: the writer stops at the first
// diagnostic, and then text is empty and nothing may be saved.
struct ControlFileText {
  QByteArray text;
  std::vector<Diagnostic> diagnostics;
};

}  // namespace kov::document
