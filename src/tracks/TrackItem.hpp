#pragma once

#include "tracks/TrackEntry.hpp"

#include <QListWidgetItem>

// A row of the track list. It answers the track roles from its own members instead of Qt's
// per-item role list, and makes its shown name only when something asks for it (a view paints a
// screenful of rows), so that filling the list with thousands of rows stores nothing twice.
class TrackItem : public QListWidgetItem {
public:
	TrackItem(const TrackEntry &entry, bool current);

	QVariant data(int role) const override;
	void setData(int role, const QVariant &value) override;
	QListWidgetItem *clone() const override;
	// What a look at the file found, without a change signal: the caller repaints.
	void setFigures(qint64 size, qint64 duration)
	{
		sizeBytes = size;
		durationMs = duration;
	}

private:
	QString id;
	QString path;
	qint64 sizeBytes;
	qint64 durationMs;
	bool current;
};
