// The exchange record as a table for the window: time, direction, round trip, verdict, bytes.
#pragma once

#include "exchange_record.h"

#include <QAbstractTableModel>

class TRecordModel : public QAbstractTableModel {
    Q_OBJECT

public:
    TRecordModel(const Busprobe::TExchangeRecord& record, QObject* parent);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Follows the record after rows were added or cleared.
    void Sync();

private:
    const Busprobe::TExchangeRecord& Record;
    int Shown = 0;
};
