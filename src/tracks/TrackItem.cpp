#include "tracks/TrackItem.hpp"
#include "module/plugin-main.hpp"

TrackItem::TrackItem(const TrackEntry &entry, bool current)
	: QListWidgetItem(nullptr, QListWidgetItem::UserType),
	  id(entry.id),
	  path(entry.path),
	  sizeBytes(entry.sizeBytes),
	  durationMs(entry.durationMs),
	  current(current)
{
}

QVariant TrackItem::data(int role) const
{
	switch (role) {
	case Qt::DisplayRole:
	case Qt::EditRole: {
		// A text set on the row (the current-track marker moving) wins over the one made here.
		QVariant text = QListWidgetItem::data(role);
		return text.isValid() ? text : QVariant(trackDisplayText(path, current));
	}
	case TrackIdRole:
		return id;
	case TrackPathRole:
		return path;
	case TrackSizeRole:
		return QVariant::fromValue<qint64>(sizeBytes);
	case TrackDurationRole:
		return QVariant::fromValue<qint64>(durationMs);
	case Qt::AccessibleDescriptionRole:
		// Only a missing file has a description, and only screen readers ask for it.
		if (sizeBytes == SizeMissing && !QListWidgetItem::data(role).isValid())
			return moduleQString("FileMissing").arg(path);
		break;
	default:
		break;
	}
	return QListWidgetItem::data(role);
}

void TrackItem::setData(int role, const QVariant &value)
{
	switch (role) {
	case TrackIdRole:
		id = value.toString();
		break;
	case TrackPathRole:
		path = value.toString();
		break;
	case TrackSizeRole:
		sizeBytes = value.toLongLong();
		break;
	case TrackDurationRole:
		durationMs = value.toLongLong();
		break;
	default:
		break;
	}
	// The base class tells the view; its stored copy of a track role is never read back.
	QListWidgetItem::setData(role, value);
}

QListWidgetItem *TrackItem::clone() const
{
	return new TrackItem(*this);
}
