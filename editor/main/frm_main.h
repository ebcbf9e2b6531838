// frmMain: the tabbed editing form. Every scalar setting of the document is a text box, an
// option group or a check box here, and the fourteen parameter grids sit on their tabs. The
// form keeps its controls and the document in step both ways: a committed edit goes into the
// document, and a value the document changes (reading a file, a new document, a fill below)
// comes back to its control.
#pragma once

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <vector>

#include "document/document.h"
#include "run_launch.h"

namespace kov::grids {
class GridSet;
class GridTableModel;
class KovGrid;
}  // namespace kov::grids

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableView;

namespace kov::editor {

class frmMain : public QWidget {
  Q_OBJECT

 public:
  // Tabs of the form, in order.
  enum Tab : int {
    kModelAndDataTab,
    kEstimationTab,
    kLabelsTab,
    kGammaTab,
    kLittleRhoTab,
    kDeltaTab,
    kTauTab,
    kBigRhoTab,
    kDataAugmentationTab,
  };
  // Sub-tabs of "Labels".
  enum LabelsTab : int { kClassLabelsTab, kClassItemsTab, kStatusLabelsTab, kStatusItemsTab };

  // Document event of a change of run type; the others are the document's own.
  static constexpr int kEventRunTypeChanged = 5;

  // The fields of the "&Browse" buttons cmdButtons 0 to 7.
  static constexpr std::array<int, 8> kBrowseFields = {
      document::kDatasetFile,       document::kEmStartValuesFile, document::kOutFile,
      document::kEmEstimatesFile,   document::kDaStartValuesFile, document::kSeriesFile,
      document::kIndividualEstimatesFile, document::kDaOutFile};

  frmMain(document::Document& document, document::FileDialogs& dialogs, QWidget* parent = nullptr);
  ~frmMain() override;

  // Has the document apply its consistency rules (the fields follow its values), then sets the
  // enabled state of every field and tab.
  void localValidateControls();
  // Commits the text of one text box (or the comments) to the document.
  void ProcessChangeInTextInputs(int id);
  QVariant vGetInterfaceValue(int id) const;
  // Grid repaint levels: 1 resize (Setup), 2 repaint. A grid on show is rebuilt at once, any
  // other when it is next shown.
  void MarkGridForRepaint(int identity, int level);
  // What a changed value sets off: the grids that depend on it, and the fills and rules of the
  // form (the outfile and parameter-file names, the counts, the type of estimation).
  void LocalEventHandler(int id);
  void SetTabEnableState();
  // Document events: 0 new, 1 opened, 3 about to change, 4 saved, 5 run type changed.
  void EventHandler(int event);
  // Commits every pending edit (text boxes, comments, a grid cell being edited) to the document.
  void FlushAllData();

  // Sets a value through the form, as a user would: the control shows it and the document
  // gets it (and with it the fills and rules above).
  void SetInterfaceValue(int id, const QVariant& value);

  RunType RunTypeInForce() const { return m_runType; }
  // The grids are locked in data-augmentation mode.
  void SetRunType(RunType runType);

  // The controls, for the frame and for tests.
  QTabWidget* Tabs() const { return m_tabs; }
  QTabWidget* LabelTabs() const { return m_labelTabs; }
  QLineEdit* TextInput(int id) const;
  QPlainTextEdit* Comments() const { return m_comments; }
  // The option button of a group (-1 to -5, 1012) that stands for a value.
  QRadioButton* OptionButton(int id, int value) const;
  QCheckBox* SaveDaParamEstCheck() const { return chkSaveDAParamEst; }
  // The check boxes of the Estimation tab (-7, -8).
  QCheckBox* CheckBox(int id) const;
  QPushButton* BrowseButton(int index) const { return cmdButtons.at(static_cast<std::size_t>(index)); }
  QTableView* GridView(int identity) const;
  grids::GridTableModel* GridModel(int identity) const;
  QComboBox* GridSelector(int identity) const;
  grids::KovGrid* Grid(int identity) const;
  grids::GridSet& Grids() const { return *m_gridSet; }

  // The most occasions the engine takes for a model with status items.
  static int MaxOccasions();

 signals:
  // Something typed was refused or changed; the frame shows the text in its status bar.
  void Note(const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct GridPage {
    QComboBox* selector = nullptr;
    QTableView* view = nullptr;
    grids::GridTableModel* model = nullptr;
    // Where the grid sits: a tab of the form and, on tabs with sub-tabs, one of those.
    int tab = -1;
    QTabWidget* subTabs = nullptr;
    int subTab = -1;
  };
  // A control whose enabled state follows the run type (its tag) and a condition on the values.
  struct ManagedControl {
    QWidget* widget;
    QString tag;
    std::function<bool()> condition;
  };

  QWidget* BuildModelAndDataTab();
  QWidget* BuildEstimationTab();
  QWidget* BuildLabelsTab();
  QWidget* BuildTwoGridTab(int restrictions, const QString& restrictionIntro, int startingValues,
                           const QString& startingIntro, const QString& warning);
  QWidget* BuildSubTabbedGridTab(QTabWidget** subTabs, int restrictions, int startingValues,
                                 const QString& selectorCaption, const QString& warning);
  QWidget* BuildDataAugmentationTab();
  QWidget* BuildGridPage(int identity, const QString& introduction, const QString& selectorCaption = {},
                         const QString& warning = {});

  // The caption is a label of the identifier's caption unless given.
  QLineEdit* AddTextInput(QGridLayout* layout, int row, int id, const QString& tag = {},
                          QWidget* caption = nullptr);
  QCheckBox* AddCheckBox(int id, const QString& tag);
  QButtonGroup* AddOptionGroup(int id, const std::vector<std::pair<QString, int>>& options,
                               const QString& tag, QWidget** frame, const QString& caption);
  QPushButton* AddBrowseButton(QGridLayout* layout, int row, int index, const QString& tag);
  void Manage(QWidget* widget, const QString& tag, std::function<bool()> condition = {});

  void OnInterfaceValueChanged(int id);
  void OnOptionChosen(int id, int buttonId);
  void Browse(int index);
  void UpdateControl(int id);
  void UpdateAllControls();
  void UpdateEnabledStates();
  void FillFromParameterFile();
  void FillFromOutfile();
  void BindGrids();
  void PlaceGrid(int identity, int tab, QTabWidget* subTabs = nullptr, int subTab = -1);
  void FillSelector(int identity);
  void UpdateShownGrids();
  bool IsGridOnFront(int identity) const;
  void CommitGridEdits();
  qint32 IntValue(int id) const;

  document::Document& m_document;
  document::FileDialogs& m_dialogs;
  RunType m_runType = RunType::kEm;
  // The identifier whose control is being committed: its control already shows the value.
  int m_committing = 0;
  // The EM estimates file that the data-augmentation start file was last kept in step with.
  QString m_followedParameterFile;
  // True while the form writes values into its controls, which then report no edit.
  bool m_updatingControls = false;

  QTabWidget* m_tabs = nullptr;
  QTabWidget* m_labelTabs = nullptr;
  QTabWidget* m_tauTabs = nullptr;
  QTabWidget* m_bigRhoTabs = nullptr;
  std::map<int, QLineEdit*> m_textInputs;
  QPlainTextEdit* m_comments = nullptr;
  std::map<int, QButtonGroup*> m_optionGroups;
  QCheckBox* chkSaveDAParamEst = nullptr;
  std::map<int, QCheckBox*> m_checkBoxes;
  std::array<QPushButton*, 8> cmdButtons{};
  grids::GridSet* m_gridSet = nullptr;
  std::map<int, GridPage> m_grids;
  std::vector<ManagedControl> m_managed;
};

}  // namespace kov::editor
