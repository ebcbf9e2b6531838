#include "recent_files.h"

#include "marnel_settings.h"

namespace kov::editor {

void RecentFiles::Load() {
  const auto settings = automation::OpenMarnelSettings();
  for (int n = 1; n <= kCount; ++n) {
    m_entries[static_cast<std::size_t>(n - 1)] = settings->value(ValueName(n)).toString();
  }
}

int RecentFiles::Find(const QString& path) const {
  for (int n = 1; n <= kCount; ++n) {
    if (Entry(n) == path) return n;
  }
  return 0;
}

void RecentFiles::Add(const QString& path) {
  if (path.isEmpty()) return;
  const int found = Find(path);
  if (found == 1) return;
  // The entries above the old place slide down over it; an unlisted path pushes the last out.
  const int last = found == 0 ? kCount : found;
  for (int n = last; n > 1; --n) {
    m_entries[static_cast<std::size_t>(n - 1)] = m_entries[static_cast<std::size_t>(n - 2)];
  }
  m_entries[0] = path;
  Write();
}

void RecentFiles::Write() {
  const auto settings = automation::OpenMarnelSettings();
  for (int n = 1; n <= kCount; ++n) settings->setValue(ValueName(n), Entry(n));
  settings->sync();
  if (settings->status() != QSettings::NoError) {
    document::ShowFailure(m_messages, QStringLiteral("Could not write to registry: ") +
                                          QString::number(static_cast<int>(settings->status())));
  }
}

}  // namespace kov::editor
