#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "source/playlist-data.hpp"

#include <obs.hpp>

#include <QComboBox>
#include <QSet>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr char StateKey[] = "OBS-Tracklane";
constexpr long long StateVersion = 1;

// Whether the state holds exactly the members a save writes, each of the type it writes; one that
// does not is written anew by the load, even when it reads the same.
bool stateWellFormed(obs_data_t *state)
{
	struct Member {
		const char *name;
		obs_data_type type;
	};
	static constexpr Member members[] = {
		{"version", OBS_DATA_NUMBER},          {"tracks", OBS_DATA_ARRAY},
		{"observed", OBS_DATA_ARRAY},          {"current", OBS_DATA_STRING},
		{"managed", OBS_DATA_BOOLEAN},         {"originalLoop", OBS_DATA_BOOLEAN},
		{"originalShuffle", OBS_DATA_BOOLEAN}, {"originalBehavior", OBS_DATA_STRING},
		{"endMode", OBS_DATA_NUMBER}};
	size_t seen = 0;
	for (obs_data_item_t *item = obs_data_first(state); item; obs_data_item_next(&item)) {
		const char *name = obs_data_item_get_name(item);
		const auto member = std::find_if(std::begin(members), std::end(members),
						 [name](const Member &m) { return std::strcmp(m.name, name) == 0; });
		const bool fits = member != std::end(members) && obs_data_item_gettype(item) == member->type &&
				  (member->type != OBS_DATA_NUMBER || obs_data_item_numtype(item) == OBS_DATA_NUM_INT);
		if (!fits) {
			// The walk holds the item itself and hands it on in obs_data_item_next; leaving early
			// is the one place it is given back by hand.
			obs_data_item_release(&item);
			return false;
		}
		++seen;
	}
	return seen == std::size(members);
}

} // namespace

void Tracklane::saveSourceState()
{
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source || closing)
		return;

	OBSDataAutoRelease privateSettings = obs_source_get_private_settings(source);
	OBSDataAutoRelease state = obs_data_create();

	OBSDataArrayAutoRelease trackArray = obs_data_array_create();
	for (const TrackEntry &track : tracks) {
		OBSDataAutoRelease item = obs_data_create();
		obs_data_set_string(item, "value", track.path.toUtf8().constData());
		obs_data_set_string(item, "id", track.id.toUtf8().constData());
		obs_data_array_push_back(trackArray, item);
	}
	OBSDataArrayAutoRelease observedArray = makePlaylistArray(observedPlaylist);

	obs_data_set_int(state, "version", StateVersion);
	obs_data_set_array(state, "tracks", trackArray);
	obs_data_set_array(state, "observed", observedArray);
	// Until the source takes a pending switch, it still holds the track and the takeover of before.
	QString current = heldTrackId();
	bool holdsManaged = trackSwitchPending ? preSwitchManaged : managed;
	// A playlist put in the settings from outside that the source has not taken (the Properties
	// window's Cancel) is what a source made from the saved settings plays after a restart.
	if (outsideChangeAwaitsSource)
		trackAfterTaking(observedPlaylist, current, holdsManaged);
	obs_data_set_string(state, "current", current.toUtf8().constData());
	obs_data_set_bool(state, "managed", holdsManaged);
	obs_data_set_bool(state, "originalLoop", originalLoop);
	obs_data_set_bool(state, "originalShuffle", originalShuffle);
	obs_data_set_string(state, "originalBehavior", originalBehavior.toUtf8().constData());
	obs_data_set_int(state, "endMode", endMode);

	obs_data_set_obj(privateSettings, StateKey, state);

	// A burst of edits asks the host for one save of the scene collection, after the last of them.
	configChangedTimer.start();
}

void Tracklane::loadSourceState(obs_source_t *source, bool force)
{
	cancelPendingSwitch();
	const QString reselectId = selectedTrackId();

	OBSDataAutoRelease settings = obs_source_get_settings(source);
	OBSDataAutoRelease privateSettings = obs_source_get_private_settings(source);
	OBSDataAutoRelease state = obs_data_get_obj(privateSettings, StateKey);
	const bool valid = state && obs_data_get_int(state, "version") == StateVersion;
	// Compared as stored while it is read, which needs no copy of the saved playlist; strings that
	// differ as bytes may still read the same (invalid UTF-8 the source holds, saved as read).
	bool playlistAsStored = false;
	const QList<QString> playlist = readPlaylist(settings, "playlist", state, "observed", playlistAsStored);

	// Clamped before narrowing, so that a huge stored number cannot wrap into range.
	endMode = valid ? qint32(std::clamp<long long>(obs_data_get_int(state, "endMode"), 0, 2)) : 0;

	// A new list: what the workers find for the one before belongs to no track of it, and the menu
	// opened over the one before has nothing to act on in it.
	closeListMenu();
	cancelFileProbes();
	tracks.clear();
	removedTracks.clear();
	currentTrackId.clear();
	playbackArmed = false;

	const bool sameAsStored = valid && playlistAsStored;
	const bool unchanged = sameAsStored || (valid && readPlaylist(state, "observed") == playlist);
	// A source the dock manages holds one track of the list, or none. A playlist put there since by
	// someone else (Edit > Undo, a script, a remote client, while the dock looked at another source)
	// tells nothing about the list; importing it would shrink the list to what the source holds.
	const bool changedOutside = !force && valid && !unchanged && obs_data_get_bool(state, "managed");
	bool trusted = !force && (unchanged || changedOutside);
	// Whether the state as loaded differs from what was saved; a load that changed nothing leaves
	// the saved state as it is rather than writing the same list again.
	bool stateDiffers = !trusted || !sameAsStored || obs_data_get_int(state, "endMode") != endMode ||
			    !stateWellFormed(state);

	QSet<QString> ids;
	if (trusted) {
		OBSDataArrayAutoRelease trackArray = obs_data_get_array(state, "tracks");
		// A state without a list (none, or not an array) beside a playlist it saw has lost its list:
		// trusting it as an empty one would have Restore empty the source.
		if (!trackArray && (unchanged ? !playlist.isEmpty() : hasPlaylistEntries(state, "observed")))
			trusted = false;
		const size_t count = obs_data_array_count(trackArray);
		tracks.reserve(qsizetype(count));
		ids.reserve(qsizetype(count));
		for (size_t i = 0; trusted && i < count; ++i) {
			OBSDataAutoRelease item = obs_data_array_item(trackArray, i);
			// A source the dock does not manage mostly holds the list itself, in the same order: its
			// entry's text then serves the track too, without decoding and storing it twice. Decoding
			// drops a leading byte-order mark, which a comparison with the bytes keeps: such a value
			// is decoded on its own.
			const char *storedPath = obs_data_get_string(item, "value");
			const qsizetype entry = qsizetype(i);
			const bool asPlaylist = entry < playlist.size() && storedPath &&
						std::strncmp(storedPath, "\xEF\xBB\xBF", 3) != 0 &&
						QAnyStringView::equal(playlist[entry], QUtf8StringView(storedPath));
			const QString path = asPlaylist ? playlist[entry] : QString::fromUtf8(storedPath);
			const QString id = QString::fromUtf8(obs_data_get_string(item, "id"));
			if (path.isEmpty() || id.isEmpty()) {
				trusted = false;
				break;
			}
			// Ids are how every edit and every switch finds its track, so a repeated one gets an id
			// of its own. The list itself is kept: importing would leave only the one track a
			// managed source holds. The first entry keeps the id, and with it the current mark.
			QString ownId = id;
			if (ids.contains(id)) {
				ownId = newTrackId();
				stateDiffers = true;
			}
			ids.insert(ownId);
			tracks.append(TrackEntry{ownId, path, SizeNotProbed});
		}
	}

	if (trusted) {
		managed = obs_data_get_bool(state, "managed");
		originalLoop = obs_data_get_bool(state, "originalLoop");
		originalShuffle = obs_data_get_bool(state, "originalShuffle");
		originalBehavior = QString::fromUtf8(obs_data_get_string(state, "originalBehavior"));
		currentTrackId = QString::fromUtf8(obs_data_get_string(state, "current"));
	} else {
		tracks.clear();
		stateDiffers = true;
		// The paths of the list saved before were tracks of it, files when they came in.
		QSet<QString> knownTracks;
		if (valid) {
			OBSDataArrayAutoRelease saved = obs_data_get_array(state, "tracks");
			const size_t count = obs_data_array_count(saved);
			knownTracks.reserve(qsizetype(count));
			for (size_t i = 0; i < count; ++i) {
				OBSDataAutoRelease item = obs_data_array_item(saved, i);
				const char *path = obs_data_get_string(item, "value");
				if (path && *path)
					knownTracks.insert(QString::fromUtf8(path));
			}
		}
		const QStringList paths = expandFolders(playlist, knownTracks);
		tracks.reserve(paths.size());
		for (const QString &path : paths)
			tracks.append(TrackEntry{newTrackId(), path, SizeNotProbed});
		managed = false;
		const bool loop = obs_data_get_bool(settings, "loop");
		const bool shuffle = obs_data_get_bool(settings, "shuffle");
		const QString behavior = QString::fromUtf8(obs_data_get_string(settings, "playback_behavior"));
		// Loop and shuffle off and "always_play" are what a track switch writes: options the dock
		// left in the source, not the source's own, while the saved state still knows those.
		const bool switchOptions = !loop && !shuffle && behavior == QLatin1String("always_play");
		if (valid && switchOptions) {
			originalLoop = obs_data_get_bool(state, "originalLoop");
			originalShuffle = obs_data_get_bool(state, "originalShuffle");
			originalBehavior = QString::fromUtf8(obs_data_get_string(state, "originalBehavior"));
		} else {
			originalLoop = loop;
			originalShuffle = shuffle;
			originalBehavior = behavior;
		}
	}

	if (originalBehavior.isEmpty()) {
		originalBehavior = QStringLiteral("stop_restart");
		stateDiffers = true;
	}

	observedPlaylist = playlist;
	// The source was made from its settings, or has taken them since: it plays what they hold.
	appliedPlaylist = playlist;
	outsideChangeAwaitsSource = false;

	// Only a trusted list keeps a current track, and ids then holds every id of it.
	if (!currentTrackId.isEmpty() && !ids.contains(currentTrackId)) {
		currentTrackId.clear();
		stateDiffers = true;
	}

	const bool keptThroughOutsideChange = trusted && changedOutside;
	if (keptThroughOutsideChange)
		followPlaylistTaken(playlist);

	const bool wasBlocked = endModeCombo->blockSignals(true);
	endModeCombo->setCurrentIndex(endMode);
	rebuildTrackList(reselectId);
	if (stateDiffers)
		saveSourceState();
	endModeCombo->blockSignals(wasBlocked);

	if (keptThroughOutsideChange)
		showMessage(moduleQString("SourceChangedOutside"));
}
