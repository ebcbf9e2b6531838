// Turning a control file into a ControlFileData and back. The model information, the comments
// and the response-category lines are read and written here; the fourteen grids read and write
// their sections in between, which the document hands over as lines.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <vector>

#include "control_file_data.h"

namespace kov::document {

// The lines of a control file as read from disk: carriage-return line-feed, bare line-feed and
// bare carriage-return ends all end a line, and lines that are empty after trimming are dropped.
// The bytes are single-byte text.
QStringList SplitIntoLines(const QByteArray& bytes);

// Reads a control file, current or previous layout, up to the grids' sections: the comments, the
// model information and the response-category lines. Calls nothing of the document and shows
// nothing: every finding is a diagnostic, in the order met, with the texts the user is shown.
// complete is false when a finding stopped the reading.
ControlFileRead ReadControlFile(const QByteArray& bytes);

// Reads the optional settings lines that follow the grids' sections, from lines[from] on: their
// values and the lines kept as read. A line that cannot be run is a diagnostic and is kept too.
// Where the sections end only the grids know, so this is the second half of the reading.
ControlFileRead ReadSettingsLines(const QStringList& lines, int from);

// Why a random-start setting (the count of starts, of starts run to convergence, the first-stage
// iterations, the seed or the log-likelihood stop criterion) or a setting of the comparison of
// sizes (the kind, the smallest and largest size, the bootstrap samples) cannot be run, in one
// sentence; empty when it can. The two counts are checked against each other too, with `starts` and
// `finalStarts` standing for the one not being checked.
QString RefusedStartSetting(int id, const QVariant& value, qint32 starts, qint32 finalStarts);

// The text of the control file that data describes, always in the current layout, each line
// ended by a line feed: the comments, the model information, the response-category lines, the
// grids' sections as given and the settings lines. Calls nothing of the document and shows
// nothing: the first value that cannot be written, in file order, is the one diagnostic, and
// the text is then empty. A value missing from data is written as a new document has it.
ControlFileText WriteControlFile(const ControlFileData& data);

}  // namespace kov::document
