#include "grid_set.h"

#include <algorithm>

#include "big_rho_grid.h"
#include "delta_grid.h"
#include "document/document.h"
#include "gamma_grid.h"
#include "items_grid.h"
#include "labels_grid.h"
#include "little_rho_grid.h"
#include "tau_grid.h"

namespace kov::grids {

namespace {

using namespace kov::document;

// The order in which the window creates and initialises its grids.
constexpr int kInitOrder[] = {kClassLabels,          kStatusLabels,        kClassItems,
                              kStatusItems,          kGammaRestrictions,   kGammaStartingValues,
                              kLittleRhoRestrictions, kLittleRhoStartingValues, kDeltaRestrictions,
                              kDeltaStartingValues,  kTauRestrictions,     kTauStartingValues,
                              kBigRhoStartingValues, kBigRhoRestrictions};

std::unique_ptr<KovGrid> MakeGrid(int identity, GridHost& host) {
  switch (identity) {
    case kClassLabels:
    case kStatusLabels: return std::make_unique<LabelsGrid>(host);
    case kClassItems:
    case kStatusItems: return std::make_unique<ItemsGrid>(host);
    case kGammaRestrictions:
    case kGammaStartingValues: return std::make_unique<GammaGrid>(host);
    case kDeltaRestrictions:
    case kDeltaStartingValues: return std::make_unique<DeltaGrid>(host);
    case kTauRestrictions:
    case kTauStartingValues: return std::make_unique<TauGrid>(host);
    case kLittleRhoRestrictions:
    case kLittleRhoStartingValues: return std::make_unique<LittleRhoGrid>(host);
    default: return std::make_unique<BigRhoGrid>(host);
  }
}

}  // namespace

GridSet::GridSet(document::Document& document, QObject* parent)
    : QObject(parent), m_document(document) {
  for (int identity : kInitOrder) {
    auto grid = MakeGrid(identity, *this);
    grid->Init(identity, nullptr);
    m_document.AttachGrid(*grid);
    m_grids[identity] = std::move(grid);
  }
  connect(&m_document, &Document::InterfaceValueChanged, this, &GridSet::PropagateChange);
}

GridSet::~GridSet() = default;

QVariant GridSet::vGetInterfaceValue(int id) const { return m_document.vGetInterfaceValue(id); }

KovGrid* GridSet::Grid(int identity) const {
  const auto found = m_grids.find(identity);
  return found == m_grids.end() ? nullptr : found->second.get();
}

void GridSet::RegisterDependency(int source, const DependentGrid& dependent) {
  std::vector<DependentGrid>& list = m_dependents[source];
  if (std::find(list.begin(), list.end(), dependent) == list.end()) list.push_back(dependent);
}

const std::vector<DependentGrid>& GridSet::Dependents(int source) const {
  static const std::vector<DependentGrid> kNone;
  const auto found = m_dependents.find(source);
  return found == m_dependents.end() ? kNone : found->second;
}

void GridSet::MarkGridForRepaint(int identity, int level) {
  KovGrid* grid = Grid(identity);
  if (grid == nullptr || level == kRepaintNone) return;
  const int status = grid->iRepaintStatus();
  if (status == kRepaintNone || level < status) grid->SetRepaintStatus(level);
  emit RepaintRequested(identity);
}

void GridSet::PropagateChange(int source) {
  std::vector<int> visited;
  Propagate(source, visited);
}

void GridSet::Propagate(int source, std::vector<int>& visited) {
  if (std::find(visited.begin(), visited.end(), source) != visited.end()) return;
  visited.push_back(source);
  // A copy: marking a grid may let its control rebuild, which never registers, but stay safe.
  const std::vector<DependentGrid> dependents = Dependents(source);
  for (const DependentGrid& dependent : dependents) {
    MarkGridForRepaint(dependent.identity, dependent.level);
    if (dependent.level == kRepaintResize) Propagate(dependent.identity, visited);
  }
}

void GridSet::SetRunType(RunType runType) {
  m_runType = runType;
  for (const auto& [identity, grid] : m_grids) MarkGridForRepaint(identity, kRepaintCells);
}

}  // namespace kov::grids
