// How a print job finds its printer: the system's print dialog for the user, a PDF file for the
// tests (or anything else that sets up a QPrinter).
#pragma once

class QPrinter;
class QWidget;

namespace kov::series {

class PrinterSetup {
 public:
  virtual ~PrinterSetup() = default;
  // Makes the printer ready for one job; false when the user cancelled.
  virtual bool Prepare(QPrinter& printer, QWidget* parent) = 0;
};

// The system printer, chosen and set up in the print dialog.
class PrintDialogSetup final : public PrinterSetup {
 public:
  bool Prepare(QPrinter& printer, QWidget* parent) override;
};

}  // namespace kov::series
