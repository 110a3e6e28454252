#include "tracks/TrackEntry.hpp"

bool revealInFileManager(const QString &filePath)
{
	return false;
}
