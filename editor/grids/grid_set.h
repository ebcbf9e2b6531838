// The fourteen grids of one window: created and initialised in the window's order, attached to
// the document, with the dependency lists that carry a change of a count, a label or a
// restriction to the grids that show it, and the run type that decides whether they may be
// edited.
#pragma once

#include <QObject>
#include <map>
#include <memory>
#include <vector>

#include "dependent_grid.h"
#include "kov_grid.h"

namespace kov::grids {

class GridSet final : public QObject, public GridHost {
  Q_OBJECT

 public:
  explicit GridSet(document::Document& document, QObject* parent = nullptr);
  ~GridSet() override;

  // GridHost
  document::Document& Document() const override { return m_document; }
  QVariant vGetInterfaceValue(int id) const override;
  KovGrid* Grid(int identity) const override;
  RunType eRunType() const override { return m_runType; }
  void RegisterDependency(int source, const DependentGrid& dependent) override;
  void MarkGridForRepaint(int identity, int level) override;

  // Every grid is repainted in the new mode.
  void SetRunType(RunType runType);
  // The grids that follow a change of the source.
  const std::vector<DependentGrid>& Dependents(int source) const;
  // Marks every grid that depends on the source, and for a resize those that depend on the
  // resized grid in turn.
  void PropagateChange(int source);

 signals:
  // A grid has work pending; the control that shows it may do it now.
  void RepaintRequested(int identity);

 private:
  void Propagate(int source, std::vector<int>& visited);

  document::Document& m_document;
  std::map<int, std::unique_ptr<KovGrid>> m_grids;
  std::map<int, std::vector<DependentGrid>> m_dependents;
  RunType m_runType = RunType::kEm;
};

}  // namespace kov::grids
