// Text helpers shared by the document, the grids and the main window: quoting, splitting a
// control-file line into values, locale-free number parsing and formatting, and path parts.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace kov::document {

// "'" + text + "'", with every apostrophe inside written twice, as the engine's reader expects.
QString Quote(const QString& text);
// Removes one leading and one trailing apostrophe when present; nothing else.
QString Unquote(const QString& text);
// Doubled apostrophes made single.
QString UndoubleApostrophes(const QString& text);

// Splits at blanks (spaces and tabs): every piece is trimmed and empty pieces are dropped, so a
// run of blanks counts as one separator.
QStringList SplitAtBlanks(const QString& line);
// Splits at blanks but keeps an apostrophe-quoted text whole, blanks and doubled apostrophes
// included. The tokens keep their quotes, so a caller can tell a quoted label from a bare word.
QStringList SplitValues(const QString& line);
// The text a token stands for: a quoted token without its quotes and with doubled apostrophes
// made single; a bare token as it is.
QString TextValue(const QString& token);

// Whole-token parses without the process locale. A leading '+' is accepted; blanks are not.
// Each returns false, and leaves *value alone, when the token is not a number of the type.
bool ParseInt16(QStringView token, qint16* value);
bool ParseInt32(QStringView token, qint32* value);
bool ParseSingle(QStringView token, float* value);
bool ParseReal(QStringView token, double* value);

// The shortest text that reads back as the same double, in plain decimal notation without an
// exponent ("0.000001"), as the control files are written.
QString FormatReal(double value);

// Parts of a path: the folder up to and including the last "/", the file part after it, the
// extension from the last "." of the file part (empty when it has none), and the file part
// without its extension.
QString FolderPart(const QString& path);
QString FilePart(const QString& path);
QString Extension(const QString& path);
QString FileTitle(const QString& path);

}  // namespace kov::document
