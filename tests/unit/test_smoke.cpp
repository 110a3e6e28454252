#include "test_host.hpp"
#include "test_access.hpp"
#include "frontend.hpp"
#include "stand_in_source.hpp"
#include "module/plugin-module.hpp"

#include <QApplication>
#include <QTest>

class SmokeTest : public QObject {
	Q_OBJECT
private Q_SLOTS:
	void localeLoads() { QCOMPARE(moduleQString("Play"), QStringLiteral("Play")); QCOMPARE(moduleQString("NoSuchKey"), QStringLiteral("NoSuchKey")); }
	void standInStops()
	{
		obs_source_t *src = standin::create("a", {QStringLiteral("/tmp/x.wav")});
		QCOMPARE(int(obs_source_media_get_state(src)), int(OBS_MEDIA_STATE_PLAYING));
		obs_source_media_stop(src);
		testhost::waitForGraphicsTicks();
		QCOMPARE(standin::calls(src), QStringList{QStringLiteral("stop")});
		QCOMPARE(standin::of(src)->stopsOnGraphicsThread, 1);
		obs_source_release(src);
	}
};

TRACKLANE_TEST_MAIN(SmokeTest)
#include "test_smoke.moc"
