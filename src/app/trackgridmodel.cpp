#include "app/trackgridmodel.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>

#include "shell/gridedit.h"

namespace sl::app {

TrackGridModel::TrackGridModel(shell::TrackTitleTable& table, QObject* parent)
    : QAbstractTableModel(parent),
      table_(table),
      shownRows_(table.RowCount() - 1),
      generation_(table.Generation()) {}

int TrackGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownRows_; }

int TrackGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shell::TrackTitleTable::kColumns;
}

QVariant TrackGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: return QString::fromStdString(table_.Cell(index.column(), index.row() + 1));
    case Qt::BackgroundRole:
      // The fixed column is painted like the header, as a fixed grid cell is.
      if (index.column() == 0) return QApplication::palette().brush(QPalette::Button);
      return {};
    case Qt::ForegroundRole:
      // The number reads like the header's text, not greyed out.
      if (index.column() == 0) return QApplication::palette().brush(QPalette::ButtonText);
      return {};
    default: return {};
  }
}

QVariant TrackGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
    return QString::fromStdString(table_.Cell(section, 0));
  return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags TrackGridModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // The fixed column takes no part in navigation: a click or a key never
  // makes it current (the view skips cells without flags).
  if (index.column() == 0) return Qt::NoItemFlags;
  if (readOnly_) return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

bool TrackGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::EditRole || index.column() == 0 || readOnly_) return false;
  // A cell holds what a title database entry can: longer text is cut at a
  // character boundary, as a paste cuts it.
  const std::string text = value.toString().toStdString();
  if (!table_.SetCell(index.column(), index.row() + 1, std::string(shell::CellText(text)))) return false;
  generation_ = table_.Generation();
  emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
  return true;
}

void TrackGridModel::Sync() {
  if (table_.Generation() == generation_) return;
  generation_ = table_.Generation();
  const int rows = table_.RowCount() - 1;
  if (rows > shownRows_) {
    beginInsertRows(QModelIndex(), shownRows_, rows - 1);
    shownRows_ = rows;
    endInsertRows();
  } else if (rows < shownRows_) {
    beginRemoveRows(QModelIndex(), rows, shownRows_ - 1);
    shownRows_ = rows;
    endRemoveRows();
  }
  if (shownRows_ > 0)
    emit dataChanged(index(0, 0), index(shownRows_ - 1, columnCount() - 1), {Qt::DisplayRole, Qt::EditRole});
  emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

}  // namespace sl::app
