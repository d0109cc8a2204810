// The exchange record as a table for the window.
#include "record_model.h"

#include "modbus_request.h"

#include <QBrush>
#include <QColor>

using namespace Busprobe;

namespace {

enum TColumn { ColTime, ColDirection, ColRoundTrip, ColVerdict, ColBytes, ColumnCount };

const char* const Headers[ColumnCount] = {"时间", "方向", "往返(ms)", "结论", "数据"};

} // namespace

TRecordModel::TRecordModel(const TExchangeRecord& record, QObject* parent) : QAbstractTableModel(parent), Record(record)
{
    Shown = static_cast<int>(Record.Rows().size());
}

int TRecordModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Shown; }

int TRecordModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TRecordModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= Shown) return {};
    const TRecordRow& row = Record.Rows()[static_cast<std::size_t>(index.row())];
    const bool bad = row.Failed || (row.Direction == TDirection::Reply && row.Verdict != VerdictText({}));
    if (role == Qt::ForegroundRole && bad && index.column() == ColVerdict) return QBrush(QColor(0xC0, 0, 0));
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case ColTime: return QString::fromStdString(ClockText(row.Time));
    case ColDirection: return QString::fromUtf8(DirectionText(row.Direction));
    case ColRoundTrip: return row.RoundTripMs >= 0 ? QVariant(row.RoundTripMs) : QVariant();
    case ColVerdict: return QString::fromStdString(row.Verdict);
    case ColBytes: return QString::fromStdString(HexLine(row.Bytes.data(), static_cast<int>(row.Bytes.size())));
    default: return {};
    }
}

QVariant TRecordModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) return {};
    return QString::fromUtf8(Headers[section]);
}

void TRecordModel::Sync()
{
    const int rows = static_cast<int>(Record.Rows().size());
    if (rows < Shown) {
        beginResetModel();
        Shown = rows;
        endResetModel();
    } else if (rows > Shown) {
        beginInsertRows(QModelIndex(), Shown, rows - 1);
        Shown = rows;
        endInsertRows();
    }
}
