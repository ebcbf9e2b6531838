// A control file as a plain value: what the reader found in it, and what it had to say about it.
// Nothing here knows the document or shows anything; the document applies the value to itself
// and to its grids, and shows the diagnostics.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <map>
#include <vector>

namespace kov::document {

// A settings line after the last section as the file held it, with the values it was read as:
// saved unchanged while the values are, so that its spelling and spacing survive.
struct KeptLine {
  QString text;
  QVariantList values;
};

// One finding of the reader, in the words the user is shown. line counts the file's non-blank
// lines from 1 (0: the file as a whole); field names the value or the block it is about.
struct Diagnostic {
  int line = 0;
  QString field;
  QString message;
};

struct ControlFileData {
  // The interface values the file sets, by identifier, each as the document stores it: of the
  // identifier's type when it converts.
  std::map<int, QVariant> values;
  // The numbers of response categories of the class and the status items, by the identity of
  // the items grid that shows them.
  std::map<int, std::vector<qint16>> categoryCounts;
  // The file's non-blank lines; the grids' sections begin at sectionsStart.
  QStringList lines;
  int sectionsStart = 0;
  // The optional settings lines after the last section, by the identifier of the check box that
  // turns each on.
  std::map<int, KeptLine> keptLines;
  // A previous-layout file, converted only by saving it.
  bool previousVersion = false;
};

struct ControlFileRead {
  ControlFileData data;
  std::vector<Diagnostic> diagnostics;
  // False when reading stopped at a diagnostic: the file cannot be opened.
  bool complete = false;
};

}  // namespace kov::document
