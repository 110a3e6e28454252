// The per-source state loader on arbitrary JSON. An input is two JSON texts separated by the first
// NUL byte: the value stored as the source's private "OBS-Tracklane" object, and the source's
// settings (its "playlist", "loop", "shuffle" and "playback_behavior"). The dock binds the source,
// which loads and saves the state; then the list must show exactly the model, and the saved object
// must reload to the same list, both into a second dock and into the bound dock itself.

#include "fuzz_support.hpp"
#include "dock_invariants.hpp"
#include "stand_in_source.hpp"

#include <obs.h>

#include <QByteArray>

#include <cstdint>

namespace {

obs_source_t *source = nullptr;
Tracklane *dock = nullptr;
Tracklane *probe = nullptr;

QString stateJson()
{
	return invariants::stateJson(source);
}

// Replaces everything in target with what the JSON text holds (nothing when it does not parse).
void replaceData(obs_data_t *target, const QByteArray &json)
{
	obs_data_clear(target);
	obs_data_t *parsed = obs_data_create_from_json(json.constData());
	if (parsed) {
		obs_data_apply(target, parsed);
		obs_data_release(parsed);
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
	fuzzsupport::startHost(argc, argv);
	source = standin::create("fuzzed media");
	dock = new Tracklane(QString(), nullptr);
	TA::pollTimer(*dock).stop();
	dock->onCollectionLoaded();
	probe = new Tracklane(QString(), nullptr);
	TA::pollTimer(*probe).stop();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	testhost::clearLog();
	const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
	const qsizetype split = input.indexOf('\0');
	const QByteArray stateText = split < 0 ? input : input.left(split);
	const QByteArray settingsText = split < 0 ? QByteArray("{}") : input.mid(split + 1);

	dock->bindSource(QString());

	obs_data_t *priv = obs_source_get_private_settings(source);
	// Wrapped, so that the stored value may be any JSON value, not only an object.
	replaceData(priv, QByteArray("{\"OBS-Tracklane\":") + stateText + QByteArray("}"));
	obs_data_release(priv);
	obs_data_t *settings = obs_source_get_settings(source);
	replaceData(settings, settingsText);
	obs_data_release(settings);

	const QString uuid = QString::fromUtf8(obs_source_get_uuid(source));
	dock->bindSource(uuid);
	{
		OBSSourceAutoRelease bound = dock->resolveBoundSource();
		if (bound != source)
			fuzzsupport::fail(QStringLiteral("the dock did not bind the source"));
	}
	fuzzsupport::check(invariants::listMismatch(*dock));
	if (TA::observedPlaylist(*dock) != invariants::sourcePlaylist(source))
		fuzzsupport::fail(QStringLiteral("the dock's last seen playlist is not the source's"));

	fuzzsupport::check(invariants::reloadMismatch(*dock, *probe, source));

	// Binding again reads what the first binding saved: same list, same ids, same saved object.
	const QStringList before = invariants::describe(TA::tracks(*dock));
	const QString savedBefore = stateJson();
	dock->bindSource(uuid);
	fuzzsupport::check(invariants::listMismatch(*dock));
	if (invariants::describe(TA::tracks(*dock)) != before)
		fuzzsupport::fail(QStringLiteral("a second binding changed the list"));
	if (stateJson() != savedBefore)
		fuzzsupport::fail(QStringLiteral("a second binding changed the saved object"));
	return 0;
}
