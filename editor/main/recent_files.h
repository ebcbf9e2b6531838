// The four most recently used control files, most recent first, kept in the user's Marnel
// settings as "LastUsed1" to "LastUsed4" so that every start of the editor offers them.
#pragma once

#include <QString>

#include <array>

#include "document/user_interface.h"

namespace kov::editor {

class RecentFiles {
 public:
  static constexpr int kCount = 4;

  explicit RecentFiles(gui::MessageSink& messages) : m_messages(messages) {}

  // Reads the four entries; a missing value reads as empty.
  void Load();

  // 1 to kCount for the entry that equals the path exactly (case matters), 0 when none does.
  int Find(const QString& path) const;

  // Makes the path entry 1. Entries above its old place (all of them when it was not listed, the
  // last one dropping out) move down by one; nothing changes when it is entry 1 already. The
  // entries are written at once; a failed write is reported and the list in memory stands.
  void Add(const QString& path);

  // Entry n (1 to kCount); empty when unused.
  QString Entry(int n) const { return m_entries.at(static_cast<std::size_t>(n - 1)); }

  static QString ValueName(int n) { return QStringLiteral("LastUsed") + QString::number(n); }

 private:
  void Write();

  gui::MessageSink& m_messages;
  std::array<QString, kCount> m_entries;
};

}  // namespace kov::editor
