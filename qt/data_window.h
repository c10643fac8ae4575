// The data window in Qt: a face of the data window's model
// (app/data_window.h). Tables of users and keys (or the large image's
// regions) over that model, edits in place, the refusal of an edit shown
// under its table, undo and redo by button and by Ctrl+Z / Ctrl+Y, and the
// save of the changes through the main window's model. Not modal: the main
// window stays usable beside it.
#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QWidget>

#include <functional>

#include "app/data_window.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QShortcut;
class QTableView;

namespace tarvex {

// One table of the data window's model, for a QTableView. Every text comes
// from the model; an edit goes to it, and its refusal is reported through
// Refused.
class TDataTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  TDataTableModel(TDataWindowModel& model, TDataTable table, QObject* parent = nullptr);

  TDataTable Table() const { return table_; }
  // Everything again from the model (rows may have come or gone).
  void Refresh();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

 signals:
  // An edit was made or refused; the window repaints.
  void Edited();

 private:
  TDataWindowModel& model_;
  TDataTable table_;
};

// The cells' editors: at most as many characters as the field holds, digits
// only for a code, and a code typed while codes are hidden shown as stars.
class TDataCellDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  TDataCellDelegate(TDataWindowModel& model, TDataTable table, QObject* parent = nullptr);
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  TDataWindowModel& model_;
  TDataTable table_;
};

class TfrmData : public QWidget {
  Q_OBJECT
 public:
  // save runs the main window's save of the data (true when saved).
  TfrmData(TDataWindowModel& model, std::function<bool()> save, QWidget* parent = nullptr);

  // Paints everything from the model: title, texts, header, tick boxes,
  // tables, the refusals and the buttons' states.
  void Refresh();

  TDataWindowModel& Model() { return model_; }

  QLabel* lblHeader = nullptr;
  QCheckBox* cbShowCodes = nullptr;
  QCheckBox* cbShowUnusedKeys = nullptr;
  QLabel* lblUsers = nullptr;
  QTableView* tvUsers = nullptr;
  QLabel* lblUsersRefusal = nullptr;
  QLabel* lblKeys = nullptr;
  QTableView* tvKeys = nullptr;
  QLabel* lblKeysRefusal = nullptr;
  QLabel* lblRegions = nullptr;
  QTableView* tvRegions = nullptr;
  QPushButton* btnClearUser = nullptr;
  QPushButton* btnUndo = nullptr;
  QPushButton* btnRedo = nullptr;
  QPushButton* btnSave = nullptr;
  QPushButton* btnClose = nullptr;

 signals:
  // After every repaint (for observers: tests).
  void Refreshed();

 private:
  void Command(const std::function<void()>& f);
  QTableView* MakeTable(TDataTable table, const char* name, TDataTableModel** model);
  int CurrentUserRow() const;

  TDataWindowModel& model_;
  std::function<bool()> save_;
  TDataTableModel* users_ = nullptr;
  TDataTableModel* keys_ = nullptr;
  TDataTableModel* regions_ = nullptr;
  QShortcut* scUndo_ = nullptr;
  QShortcut* scRedo_ = nullptr;
};

}  // namespace tarvex
