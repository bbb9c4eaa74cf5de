#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <QTimer>

#include "shell/ListView.h"
#include "shell/Services.h"

namespace orvanel {

// A Qt table model over a ListView; check marks are check states of column 1 when the
// list is checkable, and the user can toggle them.
class ListModel : public QAbstractTableModel, public ListViewObserver {
  Q_OBJECT
 public:
  ListModel(ListView& list, bool checkable, QObject* parent = nullptr);
  ~ListModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  ListView& list() { return list_; }

  void BeginInsertRows(std::size_t first, std::size_t last) override;
  void EndInsertRows() override;
  void BeginRemoveRows(std::size_t first, std::size_t last) override;
  void EndRemoveRows() override;
  void BeginReset() override;
  void EndReset() override;
  void ColumnsChanged() override;
  void CellChanged(std::size_t row, std::size_t column) override;
  void Reveal(std::size_t row) override;

 signals:
  void revealRequested(int row);
  void columnsChanged();

 private:
  ListView& list_;
  bool checkable_;
  int columns_shown_ = 0;
};

// The report view of one list: single selection, whole rows, column widths in twips.
// Double-clicks anywhere on it and the Delete key are passed on as signals.
class ListWidget : public QTableView {
  Q_OBJECT
 public:
  ListWidget(ListView& list, bool checkable, QWidget* parent = nullptr);
  ListModel* listModel() const { return model_; }
  // Draws the list's frame with `painter`, in the list's own coordinates.
  void DrawFrameWith(QPainter* painter) { drawFrame(painter); }

 signals:
  void removeRequested();
  void pointerMoved();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void ApplyColumnWidths();
  ListModel* model_;
  QTimer reveal_timer_;
  int pending_reveal_ = -1;  // the row to scroll to when the timer ends; -1: none
};

}  // namespace orvanel
