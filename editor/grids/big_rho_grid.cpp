#include "big_rho_grid.h"

#include <algorithm>

#include "dependent_grid.h"
#include "document/interface_values.h"
#include "document/text_helpers.h"

namespace kov::grids {

namespace {
using namespace kov::document;
}  // namespace

void BigRhoGrid::RegisterDependencies() {
  GridHost& host = Host();
  for (int source : {int(kClassCount), int(kStatusCount), int(kStatusItemCount), int(kTimeCount),
                     int(kStatusItems)}) {
    host.RegisterDependency(source, {iIdentity(), kRepaintResize});
  }
  for (int source : {int(kClassItemCount), int(kClassLabels), int(kStatusLabels)}) {
    host.RegisterDependency(source, {iIdentity(), kRepaintCells});
  }
  if (!IsRestrictions()) host.RegisterDependency(kBigRhoRestrictions, {iIdentity(), kRepaintCells});
}

KovGridImplementer& BigRhoGrid::Current() {
  return m_subGrids.empty() ? m_impl : m_subGrids[static_cast<std::size_t>(m_selected)].Implementer();
}

const KovGridImplementer& BigRhoGrid::Current() const {
  return m_subGrids.empty() ? m_impl : m_subGrids[static_cast<std::size_t>(m_selected)].Implementer();
}

int BigRhoGrid::Times(const ModelShape& shape) const {
  return IsRestrictions() ? shape.occasions : std::min(shape.occasions, 1);
}

const BigRhoGridSubClass* BigRhoGrid::SubGrid(int c, int t) const {
  for (const BigRhoGridSubClass& sub : m_subGrids) {
    if (sub.ClassNumber() == c && sub.Time() == t) return &sub;
  }
  return nullptr;
}

BigRhoGridSubClass* BigRhoGrid::FindSubGrid(int c, int t) {
  return const_cast<BigRhoGridSubClass*>(std::as_const(*this).SubGrid(c, t));
}

void BigRhoGrid::Clear() {
  m_subGrids.clear();
  m_selected = 0;
  GridBase::Clear();
}

void BigRhoGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = shape.statusItems * shape.maxStatusCategories;
  lastColumn = shape.statuses;
}

bool BigRhoGrid::NeedsResize(const ModelShape& shape) const {
  const int times = Times(shape);
  if (SubGridCount() != shape.classes * times) return true;
  int lastRow = 0, lastColumn = 0;
  TargetBounds(shape, lastRow, lastColumn);
  for (int c = 1; c <= shape.classes; ++c) {
    for (int t = 1; t <= times; ++t) {
      const BigRhoGridSubClass* sub = SubGrid(c, IsRestrictions() ? t : 0);
      if (sub == nullptr || !sub->Implementer().objCurrentArray().HasBounds(1, lastRow, 0, lastColumn)) {
        return true;
      }
    }
  }
  return false;
}

void BigRhoGrid::Setup() {
  const ModelShape shape = CurrentShape(Host());
  if (NeedsResize(shape)) {
    int lastRow = 0, lastColumn = 0;
    TargetBounds(shape, lastRow, lastColumn);
    // The sub-grids of the classes and occasions that remain keep their cells.
    const int categories = shape.maxStatusCategories, oldCategories = m_sizedCategories;
    const auto oldRow = [categories, oldCategories](int row) {
      const int i = (row - 1) / categories + 1, k = (row - 1) % categories + 1;
      return k <= oldCategories ? (i - 1) * oldCategories + k : 0;
    };
    std::vector<BigRhoGridSubClass> resized;
    for (int c = 1; c <= shape.classes; ++c) {
      for (int t = 1; t <= Times(shape); ++t) {
        const int time = IsRestrictions() ? t : 0;
        BigRhoGridSubClass* old = FindSubGrid(c, time);
        resized.push_back(old != nullptr ? std::move(*old) : BigRhoGridSubClass(c, time));
        ResizeByRows(resized.back().Implementer(), lastRow, lastColumn, oldRow);
      }
    }
    m_subGrids = std::move(resized);
    m_sizedCategories = categories;
    m_impl.MergeRepaintStatus(kRepaintCells);
  }
  FillCells(shape, /*defaults=*/true);
  UpdateBookmarks();
}

void BigRhoGrid::FillCells(const ModelShape& shape, bool defaults) {
  for (BigRhoGridSubClass& sub : m_subGrids) {
    CellStore& store = sub.Implementer().objCurrentArray();
    for (int i = 1; i <= shape.statusItems; ++i) {
      for (int k = 1; k <= shape.maxStatusCategories; ++k) {
        const int row = StoreRow(shape, i, k);
        store.SetValue(row, 0, ItemCaption(kStatusItems, i) + QStringLiteral(" - ") +
                                   CategoryCaption(kStatusItems, i, k));
        for (int s = 1; defaults && s <= shape.statuses; ++s) FillEmpty(store, row, s, DefaultValue());
      }
    }
  }
}

QString BigRhoGrid::ColumnCaption(int column) const {
  return column >= 1 ? StatusCaption(column) : QString();
}

bool BigRhoGrid::HasSection(const ModelShape& shape) const {
  return shape.HasStatuses() && (IsRestrictions() ? shape.restrictionsInFile : shape.startValuesInFile);
}

QStringList BigRhoGrid::SelectorEntries() const {
  const ModelShape shape = CurrentShape(Host());
  QStringList entries;
  for (const BigRhoGridSubClass& sub : m_subGrids) {
    const QString prefix =
        shape.NamesClasses() ? ClassCaption(sub.ClassNumber()) + QStringLiteral(" - ") : QString();
    entries << prefix + (sub.Time() == 0 ? QStringLiteral("All Times")
                                         : QStringLiteral("Time ") + QString::number(sub.Time()));
  }
  return entries;
}

void BigRhoGrid::SelectEntry(int entry) {
  m_selected = entry;
  UpdateBookmarks();
}

void BigRhoGrid::UpdateBookmarks() {
  m_selected = std::clamp(m_selected, 0, std::max(SubGridCount() - 1, 0));
  Current().ShowAllRows();
}

std::vector<GridBase::CellRef> BigRhoGrid::Cells(const ModelShape& shape, BigRhoGridSubClass& sub,
                                                 int k, int s) {
  std::vector<CellRef> cells;
  for (int i = 1; i <= shape.statusItems; ++i) {
    cells.push_back({&sub.Implementer().objCurrentArray(), StoreRow(shape, i, k), s});
  }
  return cells;
}

QString BigRhoGrid::Position(int c, int t) {
  return QStringLiteral(" for time ") + QString::number(t) + QStringLiteral(", class ") +
         QString::number(c);
}

bool BigRhoGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  // Class by class, occasion by occasion, then category and status: the engine's order.
  for (BigRhoGridSubClass& sub : m_subGrids) {
    const int time = std::max(sub.Time(), 1);
    for (int k = 1; k <= shape.maxStatusCategories; ++k) {
      for (int s = 1; s <= shape.statuses; ++s) {
        if (!ReadValueLine(lines, cursor, Cells(shape, sub, k, s),
                           [&](int) { return Position(sub.ClassNumber(), time); })) {
          return false;
        }
      }
    }
  }
  return true;
}

bool BigRhoGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  const QString invalid = QStringLiteral("Failure saving Big Rho:") + QStringLiteral("\n") +
                          QStringLiteral("Invalid ") + TableName(iIdentity());
  for (BigRhoGridSubClass& sub : m_subGrids) {
    const int time = std::max(sub.Time(), 1);
    for (int k = 1; k <= shape.maxStatusCategories; ++k) {
      for (int s = 1; s <= shape.statuses; ++s) {
        if (!WriteValueLine(lines, Cells(shape, sub, k, s),
                            [&](int) { return invalid + Position(sub.ClassNumber(), time); })) {
          return false;
        }
      }
    }
  }
  return true;
}

bool BigRhoGrid::IsCellFixed(int bookmark, int column) const {
  if (IsRestrictions() || m_subGrids.empty() || column == 0) return false;
  const auto* restrictions = dynamic_cast<const BigRhoGrid*>(Host().Grid(kBigRhoRestrictions));
  if (restrictions == nullptr) return false;
  // One starting value serves every occasion: it is fixed where any occasion's code is 0.
  const int c = m_subGrids[static_cast<std::size_t>(m_selected)].ClassNumber();
  for (const BigRhoGridSubClass& sub : restrictions->m_subGrids) {
    if (sub.ClassNumber() != c) continue;
    qint16 code = 0;
    const QString text = sub.Implementer().vCellValue(bookmark, column).toString().trimmed();
    if (ParseInt16(text, &code) && code == 0) return true;
  }
  return false;
}

}  // namespace kov::grids

namespace kov::grids {

std::vector<GridBase::ProbabilityVector> BigRhoGrid::VectorsOf(const ModelShape& shape) {
  // One set of starting values per class: an entry is fixed where any occasion's code is 0, and
  // otherwise tied as occasion 1 ties it.
  const auto* restrictions = dynamic_cast<const BigRhoGrid*>(Host().Grid(kBigRhoRestrictions));
  const auto codeOf = [restrictions](int c, int row, int s) {
    if (restrictions == nullptr) return QString();
    QString first;
    for (const BigRhoGridSubClass& sub : restrictions->m_subGrids) {
      if (sub.ClassNumber() != c) continue;
      const QString text = sub.Implementer().objCurrentArray().Text(row, s).trimmed();
      if (text == QStringLiteral("0")) return text;
      if (sub.Time() == 1) first = text;
    }
    return first;
  };
  std::vector<ProbabilityVector> vectors;
  for (int c = 1; c <= shape.classes; ++c) {
    BigRhoGridSubClass* sub = FindSubGrid(c, 0);
    if (sub == nullptr) continue;
    for (int i = 1; i <= shape.statusItems; ++i) {
      for (int s = 1; s <= shape.statuses; ++s) {
        QString name = ItemCaption(kStatusItems, i) + QStringLiteral(" in status ") + StatusCaption(s);
        if (shape.NamesClasses()) name += QStringLiteral(", class ") + ClassCaption(c);
        ProbabilityVector row{name, {}, {}, {}};
        for (int k = 1; k <= shape.maxStatusCategories; ++k) {
          const int storeRow = StoreRow(shape, i, k);
          row.stores.push_back(&sub->Implementer().objCurrentArray());
          row.cells.emplace_back(storeRow, s);
          const bool exists = k <= CategoryCount(Host(), kStatusItems, i);
          row.codes.push_back(exists ? codeOf(c, storeRow, s) : kNoCategoryCode);
        }
        vectors.push_back(std::move(row));
      }
    }
  }
  return vectors;
}

}  // namespace kov::grids
