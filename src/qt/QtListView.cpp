#include "qt/QtListView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <cmath>

namespace orvanel {

ListModel::ListModel(ListView& list, bool checkable, QObject* parent)
    : QAbstractTableModel(parent), list_(list), checkable_(checkable) {
  columns_shown_ = static_cast<int>(list_.ColumnCount());
  list_.SetObserver(this);
}

ListModel::~ListModel() { list_.SetObserver(nullptr); }

int ListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(list_.Count());
}

int ListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : columns_shown_;
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || static_cast<std::size_t>(index.row()) >= list_.Count()) return {};
  const std::size_t item = static_cast<std::size_t>(index.row()) + 1;
  if (role == Qt::DisplayRole) {
    // One line per row: line breaks inside a cell show as blanks (the cell keeps them).
    QString text =
        QString::fromUtf8(list_.Cell(item, static_cast<std::size_t>(index.column()) + 1));
    for (QChar& c : text) {
      if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\t'))
        c = QLatin1Char(' ');
    }
    return text;
  }
  if (role == Qt::CheckStateRole && checkable_ && index.column() == 0) {
    return list_.Checked(item) ? Qt::Checked : Qt::Unchecked;
  }
  return {};
}

bool ListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !checkable_ || index.column() != 0 ||
      static_cast<std::size_t>(index.row()) >= list_.Count()) {
    return false;
  }
  list_.SetChecked(static_cast<std::size_t>(index.row()) + 1,
                   value.value<Qt::CheckState>() == Qt::Checked);
  return true;
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || static_cast<std::size_t>(section) >= list_.ColumnCount()) return {};
  return QString::fromUtf8(list_.Header(static_cast<std::size_t>(section) + 1));
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (checkable_ && index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

void ListModel::BeginInsertRows(std::size_t first, std::size_t last) {
  beginInsertRows({}, static_cast<int>(first), static_cast<int>(last));
}
void ListModel::EndInsertRows() { endInsertRows(); }
void ListModel::BeginRemoveRows(std::size_t first, std::size_t last) {
  beginRemoveRows({}, static_cast<int>(first), static_cast<int>(last));
}
void ListModel::EndRemoveRows() { endRemoveRows(); }
void ListModel::BeginReset() { beginResetModel(); }
void ListModel::EndReset() { endResetModel(); }

void ListModel::ColumnsChanged() {
  const int now = static_cast<int>(list_.ColumnCount());
  if (now != columns_shown_) {
    beginResetModel();
    columns_shown_ = now;
    endResetModel();
  } else {
    emit headerDataChanged(Qt::Horizontal, 0, std::max(0, now - 1));
  }
  emit columnsChanged();
}

void ListModel::CellChanged(std::size_t row, std::size_t column) {
  const QModelIndex at = index(static_cast<int>(row), static_cast<int>(column));
  emit dataChanged(at, at);
}

void ListModel::Reveal(std::size_t row) { emit revealRequested(static_cast<int>(row)); }

namespace {

// A column header that measures its texts once, not each time a row is added: Qt asks for
// the header's size at every layout of the table, and measured every header text anew.
class MeasuredOnceHeader : public QHeaderView {
 public:
  explicit MeasuredOnceHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(true);  // as the table's own header
    connect(this, &QHeaderView::sectionCountChanged, this, [this] { measured_ = QSize(); });
  }
  void setModel(QAbstractItemModel* model) override {
    QHeaderView::setModel(model);
    measured_ = QSize();
    if (model) {
      connect(model, &QAbstractItemModel::headerDataChanged, this, [this] { measured_ = QSize(); });
      connect(model, &QAbstractItemModel::modelReset, this, [this] { measured_ = QSize(); });
    }
  }
  QSize sizeHint() const override {
    if (!measured_.isValid()) measured_ = QHeaderView::sizeHint();
    return measured_;
  }

 protected:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) measured_ = QSize();
    return QHeaderView::event(e);
  }

 private:
  mutable QSize measured_;
};

// The list's frame drawn again over the list's children, on the device pixels the list
// wholly covers. Qt draws a scroll area's frame first and its viewport and header over it,
// and places the frame's lines at the list's logical edges: at a fractional scale (1.25,
// 1.5) an edge falls inside a device pixel, and that line is clipped away or covered by a
// child rounded out to whole pixels. Drawn last, and stretched by a fraction of a pixel to
// the whole pixels of the list, the frame is whole at every scale; at a whole scale
// nothing moves. Mouse events pass through it.
class FrameOnTop : public QWidget {
 public:
  explicit FrameOnTop(ListWidget* list) : QWidget(list), list_(list) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    list_->installEventFilter(this);
    // The scroll bars' holders are raised when they are laid out or shown: above this,
    // they would cover the frame beside them.
    for (QObject* child : list_->children()) {
      if (child != this && child->isWidgetType()) child->installEventFilter(this);
    }
    setGeometry(list_->rect());
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Resize:
        if (watched == list_) setGeometry(list_->rect());
        [[fallthrough]];
      case QEvent::Show:
      case QEvent::ZOrderChange:
      case QEvent::LayoutRequest:
        raise();
        break;
      case QEvent::ChildAdded:
        if (watched == list_) {
          QObject* child = static_cast<QChildEvent*>(event)->child();
          if (child != this && child->isWidgetType()) child->installEventFilter(this);
        }
        break;
      default:
        break;
    }
    return false;
  }
  void paintEvent(QPaintEvent*) override {
    if (width() <= 0 || height() <= 0) return;
    const qreal dpr = devicePixelRatioF();
    // This widget on the window's device pixels, and the whole pixels inside it.
    const QRectF device(QPointF(mapTo(window(), QPoint(0, 0))) * dpr, QSizeF(size()) * dpr);
    const qreal left = std::ceil(device.left());
    const qreal top = std::ceil(device.top());
    const qreal right = std::floor(device.right());
    const qreal bottom = std::floor(device.bottom());
    QTransform fit;
    fit.translate((left - device.left()) / dpr, (top - device.top()) / dpr);
    fit.scale((right - left) / device.width(), (bottom - top) / device.height());
    QPainter painter(this);
    painter.setTransform(fit);
    list_->DrawFrameWith(&painter);
  }

 private:
  ListWidget* list_;
};

}  // namespace

ListWidget::ListWidget(ListView& list, bool checkable, QWidget* parent)
    : QTableView(parent), model_(new ListModel(list, checkable, this)) {
  setHorizontalHeader(new MeasuredOnceHeader(this));
  setModel(model_);
  // A flat report: fixed row heights keep a million rows cheap to add and to scroll.
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->setHighlightSections(false);
  setShowGrid(false);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Tab and Shift+Tab leave the list for the next control, as in any report list; the
  // arrow keys move within it.
  setTabKeyNavigation(false);
  setTextElideMode(Qt::ElideRight);
  setMouseTracking(true);
  horizontalHeader()->setStretchLastSection(false);
  horizontalHeader()->setSectionsMovable(false);
  // A row asked for alone is scrolled to at once; of a burst (a run adds a row for every
  // address), the last one asked for within each kRunRedrawIntervalMs: scrolling moves the
  // whole picture of the list, and doing it for every row cost more than the run itself.
  reveal_timer_.setSingleShot(true);
  connect(&reveal_timer_, &QTimer::timeout, this, [this] {
    if (pending_reveal_ < 0) return;
    if (pending_reveal_ < model_->rowCount()) scrollTo(model_->index(pending_reveal_, 0));
    pending_reveal_ = -1;
    reveal_timer_.start(kRunRedrawIntervalMs);
  });
  connect(model_, &ListModel::revealRequested, this, [this](int row) {
    if (reveal_timer_.isActive()) {
      pending_reveal_ = row;
      return;
    }
    scrollTo(model_->index(row, 0));
    reveal_timer_.start(kRunRedrawIntervalMs);
  });
  connect(model_, &ListModel::columnsChanged, this, [this] { ApplyColumnWidths(); });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { ApplyColumnWidths(); });
  // The list's selection is the selected row, not the current one: after a removal
  // nothing is selected until the user chooses again.
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    const auto rows = selectionModel()->selectedRows();
    model_->list().Select(rows.isEmpty() ? std::nullopt
                                         : std::optional<std::size_t>(rows.first().row() + 1));
  });
  ApplyColumnWidths();
  new FrameOnTop(this);
}

void ListWidget::ApplyColumnWidths() {
  ListView& list = model_->list();
  for (std::size_t c = 1; c <= list.ColumnCount(); ++c) {
    const int width = list.ColumnWidth(c);
    if (width > 0) setColumnWidth(static_cast<int>(c - 1), width / kTwipsPerPixel);
  }
}

void ListWidget::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Delete) {
    emit removeRequested();
    return;
  }
  QTableView::keyPressEvent(event);
}

void ListWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  QTableView::mouseDoubleClickEvent(event);
  emit removeRequested();
}

void ListWidget::mouseMoveEvent(QMouseEvent* event) {
  QTableView::mouseMoveEvent(event);
  emit pointerMoved();
}

}  // namespace orvanel
