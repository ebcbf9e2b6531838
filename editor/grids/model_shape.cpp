#include "model_shape.h"

#include <algorithm>

#include "document/interface_values.h"
#include "document/text_helpers.h"
#include "kov_grid.h"

namespace kov::grids {

namespace {

using document::GridIdentity;

int Count(const GridHost& host, int id) { return std::max(host.vGetInterfaceValue(id).toInt(), 0); }

std::vector<int> Categories(const GridHost& host, int itemsIdentity, int items) {
  std::vector<int> counts;
  for (int item = 1; item <= items; ++item) counts.push_back(CategoryCount(host, itemsIdentity, item));
  return counts;
}

int Largest(const std::vector<int>& counts) {
  return counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
}

}  // namespace

int CategoryCount(const GridHost& host, int itemsIdentity, int item) {
  const KovGrid* grid = host.Grid(itemsIdentity);
  if (grid == nullptr) return 0;
  qint16 count = 0;
  const QString text = grid->vCellValue(item, document::kResponseCategoryColumn).toString().trimmed();
  return document::ParseInt16(text, &count) && count > 0 ? count : 0;
}

ModelShape CurrentShape(const GridHost& host) {
  ModelShape shape;
  shape.statusesAsWritten = Count(host, document::kStatusCount);
  shape.classes = std::max(Count(host, document::kClassCount), 1);
  shape.statuses = std::max(shape.statusesAsWritten, 1);
  shape.classItems = Count(host, document::kClassItemCount);
  shape.statusItems = Count(host, document::kStatusItemCount);
  shape.occasions = Count(host, document::kTimeCount);
  shape.order = host.vGetInterfaceValue(document::kFirstOrder).toBool() ? 1 : 2;
  if (shape.occasions >= 3) {
    int power = 1;
    for (int i = 0; i < shape.order; ++i) power *= shape.statusesAsWritten;
    shape.extraRows = (shape.occasions - 2) * power;
  }
  shape.classCategories = Categories(host, document::kClassItems, shape.classItems);
  shape.statusCategories = Categories(host, document::kStatusItems, shape.statusItems);
  shape.maxClassCategories = Largest(shape.classCategories);
  shape.maxStatusCategories = Largest(shape.statusCategories);
  shape.restrictionsInFile = host.vGetInterfaceValue(document::kMaxIterations).toInt() > 0;
  shape.startValuesInFile =
      host.vGetInterfaceValue(document::kEstimationType).toInt() == document::kNewEstimation;
  return shape;
}

}  // namespace kov::grids
