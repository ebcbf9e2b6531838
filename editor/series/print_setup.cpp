#include "print_setup.h"

#include <QPrintDialog>
#include <QPrinter>

namespace kov::series {

bool PrintDialogSetup::Prepare(QPrinter& printer, QWidget* parent) {
  QPrintDialog dialog(&printer, parent);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace kov::series
