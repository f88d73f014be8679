// trackGrid's contents for a QTableView, read straight from the shared
// TrackTitleTable: row 0 of the table is the header, table row n is view row
// n - 1. Column 0 (the track number) is fixed: grey, never editable and
// never current.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>

#include "shell/model.h"

namespace sl::app {

class TrackGridModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TrackGridModel(shell::TrackTitleTable& table, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // An edited cell goes into the table at once.
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  // Read-only while a command runs: no cell opens for editing, and an editor
  // still open then cannot write its text back.
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }

  // Tells the view what changed in the table since the last call; does
  // nothing when the table's generation is unchanged.
  void Sync();

 private:
  shell::TrackTitleTable& table_;
  int shownRows_ = 0;  // view rows the view currently knows about
  std::uint64_t generation_ = 0;
  bool readOnly_ = false;
};

}  // namespace sl::app
