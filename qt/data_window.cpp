#include "qt/data_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include "qt/style.h"

namespace tarvex {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The warning rows' background: two users share a code.
const QColor kWarningBackground(0xFF, 0xF0, 0xC8);
// A refused edit's reason.
const QColor kRefusalColour(0xB0, 0x00, 0x20);

}  // namespace

// ---- the table model ----

TDataTableModel::TDataTableModel(TDataWindowModel& model, TDataTable table, QObject* parent)
    : QAbstractTableModel(parent), model_(model), table_(table) {}

void TDataTableModel::Refresh() {
  // The same rows: repaint them in place, so that the current cell and the
  // selection stay; other rows (keys coming into use or going out of it, a
  // new image): start again.
  if (rowCount() == static_cast<int>(model_.RowCount(table_)) && rowCount() > 0) {
    emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
    return;
  }
  beginResetModel();
  endResetModel();
}

int TDataTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(model_.RowCount(table_));
}

int TDataTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(model_.ColumnCount(table_));
}

QVariant TDataTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const size_t row = static_cast<size_t>(index.row());
  const size_t column = static_cast<size_t>(index.column());
  switch (role) {
    case Qt::DisplayRole: return Q(model_.CellText(table_, row, column));
    case Qt::EditRole: return Q(model_.EditText(table_, row, column));
    case Qt::ToolTipRole: {
      const std::string warning = model_.RowWarningText(table_, row);
      return warning.empty() ? QVariant() : QVariant(Q(warning));
    }
    case Qt::DecorationRole:
      if (table_ == TDataTable::Users && column == UserColCode && model_.RowWarning(table_, row))
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
      return {};
    case Qt::BackgroundRole:
      if (model_.RowWarning(table_, row)) return kWarningBackground;
      return {};
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::Alignment(
          (model_.ColumnRightAligned(table_, column) ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
    default: return {};
  }
}

QVariant TDataTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0) return {};
  if (role == Qt::DisplayRole) return Q(model_.ColumnHeader(table_, static_cast<size_t>(section)));
  return {};
}

Qt::ItemFlags TDataTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
  if (model_.CellEditable(table_, static_cast<size_t>(index.row()), static_cast<size_t>(index.column())))
    f |= Qt::ItemIsEditable;
  return f;
}

bool TDataTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid()) return false;
  const std::string refusal = model_.EditCell(table_, static_cast<size_t>(index.row()),
                                              static_cast<size_t>(index.column()), value.toString().toStdString());
  emit Edited();
  return refusal.empty();
}

// ---- the editors ----

TDataCellDelegate::TDataCellDelegate(TDataWindowModel& model, TDataTable table, QObject* parent)
    : QStyledItemDelegate(parent), model_(model), table_(table) {}

QWidget* TDataCellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const {
  const size_t row = static_cast<size_t>(index.row());
  const size_t column = static_cast<size_t>(index.column());
  auto* e = new QLineEdit(parent);
  e->setObjectName(QStringLiteral("edCell"));
  e->setFrame(false);
  e->setMaxLength(static_cast<int>(model_.EditMaxLength(table_, row, column)));
  if (model_.EditDigitsOnly(table_, column)) {
    e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
    // A new code typed while codes are hidden stays hidden.
    if (!model_.CodesShown()) e->setEchoMode(QLineEdit::Password);
  }
  return e;
}

// ---- the window ----

TfrmData::TfrmData(TDataWindowModel& model, std::function<bool()> save, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model), save_(std::move(save)) {
  setObjectName(QStringLiteral("frmData"));
  setFont(InterfaceFont());
  resize(data_window_layout::kClientWidth, data_window_layout::kClientHeight);

  auto* layout = new QVBoxLayout(this);
  const int m = data_window_layout::kMargin;
  layout->setContentsMargins(m, m, m, m);

  lblHeader = new QLabel(this);
  lblHeader->setObjectName(QStringLiteral("lblHeader"));
  lblHeader->setWordWrap(true);
  PaintAsCaption(lblHeader);
  layout->addWidget(lblHeader);

  auto* ticks = new QHBoxLayout;
  cbShowCodes = new QCheckBox(this);
  cbShowCodes->setObjectName(QStringLiteral("cbShowCodes"));
  cbShowUnusedKeys = new QCheckBox(this);
  cbShowUnusedKeys->setObjectName(QStringLiteral("cbShowUnusedKeys"));
  ticks->addWidget(cbShowCodes);
  ticks->addWidget(cbShowUnusedKeys);
  ticks->addStretch();
  layout->addLayout(ticks);

  auto heading = [this](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(QLatin1String(name));
    QFont bold = l->font();
    bold.setBold(true);
    l->setFont(bold);
    return l;
  };
  auto refusal = [this](const char* name) {
    auto* l = new QLabel(this);
    l->setObjectName(QLatin1String(name));
    l->setWordWrap(true);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, kRefusalColour);
    l->setPalette(p);
    return l;
  };
  lblUsers = heading("lblUsers");
  tvUsers = MakeTable(TDataTable::Users, "tvUsers", &users_);
  lblUsersRefusal = refusal("lblUsersRefusal");
  lblKeys = heading("lblKeys");
  tvKeys = MakeTable(TDataTable::Keys, "tvKeys", &keys_);
  lblKeysRefusal = refusal("lblKeysRefusal");
  lblRegions = heading("lblRegions");
  tvRegions = MakeTable(TDataTable::Regions, "tvRegions", &regions_);
  // The tables take the room, the users' the most.
  for (QWidget* w : {static_cast<QWidget*>(lblUsers), static_cast<QWidget*>(tvUsers),
                     static_cast<QWidget*>(lblUsersRefusal), static_cast<QWidget*>(lblKeys),
                     static_cast<QWidget*>(tvKeys), static_cast<QWidget*>(lblKeysRefusal),
                     static_cast<QWidget*>(lblRegions), static_cast<QWidget*>(tvRegions)})
    layout->addWidget(w, w == tvUsers ? 3 : (w == tvKeys || w == tvRegions) ? 2 : 0);
  lblUsers->setBuddy(tvUsers);
  lblKeys->setBuddy(tvKeys);
  lblRegions->setBuddy(tvRegions);

  auto* buttons = new QHBoxLayout;
  auto button = [this, buttons](const char* name) {
    auto* b = new QPushButton(this);
    b->setObjectName(QLatin1String(name));
    buttons->addWidget(b);
    return b;
  };
  btnClearUser = button("btnClearUser");
  btnUndo = button("btnUndo");
  btnRedo = button("btnRedo");
  buttons->addStretch();
  btnSave = button("btnSave");
  btnClose = button("btnClose");
  layout->addLayout(buttons);

  connect(cbShowCodes, &QCheckBox::toggled, this, [this](bool on) { Command([&] { model_.SetCodesShown(on); }); });
  connect(cbShowUnusedKeys, &QCheckBox::toggled, this,
          [this](bool on) { Command([&] { model_.SetUnusedKeysShown(on); }); });
  connect(btnClearUser, &QPushButton::clicked, this, [this] {
    const int row = CurrentUserRow();
    if (row >= 0) Command([&] { model_.ClearUser(static_cast<size_t>(row)); });
  });
  connect(btnUndo, &QPushButton::clicked, this, [this] { Command([this] { model_.Undo(); }); });
  connect(btnRedo, &QPushButton::clicked, this, [this] { Command([this] { model_.Redo(); }); });
  connect(btnSave, &QPushButton::clicked, this, [this] { Command([this] { save_(); }); });
  connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
  // Ctrl+Z and Ctrl+Y anywhere in the window; an open editor keeps them for
  // its own typing.
  scUndo_ = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
  scUndo_->setObjectName(QStringLiteral("scUndo"));
  connect(scUndo_, &QShortcut::activated, this, [this] { Command([this] { model_.KeyCommand(kUndoKey); }); });
  scRedo_ = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Y), this);
  scRedo_->setObjectName(QStringLiteral("scRedo"));
  connect(scRedo_, &QShortcut::activated, this, [this] { Command([this] { model_.KeyCommand(kRedoKey); }); });

  Refresh();
}

QTableView* TfrmData::MakeTable(TDataTable table, const char* name, TDataTableModel** model) {
  *model = new TDataTableModel(model_, table, this);
  auto* v = new QTableView(this);
  v->setObjectName(QLatin1String(name));
  v->setModel(*model);
  v->setItemDelegate(new TDataCellDelegate(model_, table, v));
  v->verticalHeader()->hide();
  // Compact rows: a line of text and a little air.
  v->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  v->verticalHeader()->setDefaultSectionSize(v->fontMetrics().height() + 6);
  v->setSelectionMode(QAbstractItemView::SingleSelection);
  v->setSelectionBehavior(QAbstractItemView::SelectItems);
  // Tab leaves the table; arrows move in it, F2, Enter or typing edits.
  v->setTabKeyNavigation(false);
  v->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                     QAbstractItemView::AnyKeyPressed);
  v->horizontalHeader()->setStretchLastSection(true);
  for (size_t c = 0; c < model_.ColumnCount(table); ++c)
    v->setColumnWidth(static_cast<int>(c), model_.ColumnWidth(table, c));
  PaintAsField(v);
  // The window repaints once the editor has handed its text over.
  connect(*model, &TDataTableModel::Edited, this, &TfrmData::Refresh, Qt::QueuedConnection);
  if (table == TDataTable::Users)
    connect(v->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
      btnClearUser->setEnabled(CurrentUserRow() >= 0 && model_.CanClearUser(static_cast<size_t>(CurrentUserRow())));
    });
  return v;
}

int TfrmData::CurrentUserRow() const {
  const QModelIndex i = tvUsers->currentIndex();
  return i.isValid() ? i.row() : -1;
}

void TfrmData::Command(const std::function<void()>& f) {
  f();
  Refresh();
}

void TfrmData::Refresh() {
  const TDataTexts& t = model_.Texts();
  setWindowTitle(Q(model_.Title()));

  QStringList header;
  for (const THeaderField& f : model_.HeaderFields()) header << Q(f.label) + QStringLiteral(": ") + Q(f.value);
  lblHeader->setText(header.join(QStringLiteral("    ")));

  const bool small = model_.Layout() == TDataLayout::Small;
  const bool large = model_.Layout() == TDataLayout::Large;
  {
    const QSignalBlocker quietCodes(cbShowCodes);
    const QSignalBlocker quietKeys(cbShowUnusedKeys);
    cbShowCodes->setText(Q(t.ShowCodes));
    cbShowCodes->setChecked(model_.CodesShown());
    cbShowUnusedKeys->setText(Q(t.ShowUnusedKeys));
    cbShowUnusedKeys->setChecked(model_.UnusedKeysShown());
  }
  cbShowCodes->setVisible(small);
  cbShowUnusedKeys->setVisible(small);
  cbShowCodes->setEnabled(!model_.Locked());
  cbShowUnusedKeys->setEnabled(!model_.Locked());

  lblUsers->setText(Q(model_.TableHeading(TDataTable::Users)));
  lblKeys->setText(Q(model_.TableHeading(TDataTable::Keys)));
  lblRegions->setText(Q(model_.TableHeading(TDataTable::Regions)));
  for (QWidget* w : {static_cast<QWidget*>(lblUsers), static_cast<QWidget*>(tvUsers),
                     static_cast<QWidget*>(lblUsersRefusal), static_cast<QWidget*>(lblKeys),
                     static_cast<QWidget*>(tvKeys), static_cast<QWidget*>(lblKeysRefusal)})
    w->setVisible(small);
  lblRegions->setVisible(large);
  tvRegions->setVisible(large);
  users_->Refresh();
  keys_->Refresh();
  regions_->Refresh();

  const QString refusal = Q(model_.Refusal());
  lblUsersRefusal->setText(model_.RefusalTable() == TDataTable::Users ? refusal : QString());
  lblKeysRefusal->setText(model_.RefusalTable() == TDataTable::Keys ? refusal : QString());

  btnClearUser->setText(Q(t.ClearUserButton));
  btnClearUser->setVisible(small);
  btnClearUser->setEnabled(CurrentUserRow() >= 0 && model_.CanClearUser(static_cast<size_t>(CurrentUserRow())));
  btnUndo->setText(Q(t.UndoButton));
  btnUndo->setToolTip(Q(model_.UndoToolTip()));
  btnUndo->setEnabled(model_.CanUndo());
  btnRedo->setText(Q(t.RedoButton));
  btnRedo->setToolTip(Q(model_.RedoToolTip()));
  btnRedo->setEnabled(model_.CanRedo());
  btnSave->setText(Q(t.SaveButton));
  btnSave->setEnabled(model_.CanSave());
  btnClose->setText(Q(t.CloseButton));
  emit Refreshed();
}

}  // namespace tarvex
