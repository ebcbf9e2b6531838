// Where the editor finds its help pages from its own folder: beside it in a build folder, in
// the data folder of the prefix when installed, and the folder beside it when neither is there.

#include <gtest/gtest.h>

#include <QDir>
#include <QString>

#include "chelp.h"
#include "temp_files.h"

namespace {

// The install layout under a prefix, as the install rules place the programs and the pages.
const QString kProgram = QStringLiteral(MARNEL_INSTALL_PROGRAM_DIR);
const QString kBeside = kProgram + QStringLiteral("/help");
const QString kInstalled = QStringLiteral(MARNEL_INSTALL_HELP_DIR);

struct Layout {
  const char* name;
  bool besideProgram;
  bool installed;
  const QString& expected;  // relative to the prefix
};

TEST(HelpFolderTest, FoundBesideTheProgramOrUnderItsPrefix) {
  const Layout layouts[] = {
      {"build folder", true, false, kBeside},
      {"installed", false, true, kInstalled},
      {"both: the build's own copy wins", true, true, kBeside},
      {"neither: the folder that was looked in first", false, false, kBeside},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const kov::test::TempDir scratch;
    const QDir root(QString::fromStdString(scratch.Path()));
    ASSERT_TRUE(root.mkpath(kProgram));
    if (layout.besideProgram) ASSERT_TRUE(root.mkpath(kBeside));
    if (layout.installed) ASSERT_TRUE(root.mkpath(kInstalled));
    EXPECT_EQ(kov::editor::CHelp::HelpFolderFor(root.filePath(kProgram)).toStdString(),
              root.filePath(layout.expected).toStdString());
  }
}

}  // namespace
