#include "tracks/TrackEntry.hpp"

#include <QDir>

#ifdef _WIN32

#include <objbase.h>
#include <shlobj.h>

bool revealInFileManager(const QString &filePath)
{
	const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
	// Another apartment mode on this thread still lets the Shell call run; it just is not ours
	// to balance.
	if (FAILED(init) && init != RPC_E_CHANGED_MODE)
		return false;

	const std::wstring nativePath = QDir::toNativeSeparators(filePath).toStdWString();
	PIDLIST_ABSOLUTE idList = ILCreateFromPathW(nativePath.c_str());
	bool ok = false;
	if (idList)
		ok = SUCCEEDED(SHOpenFolderAndSelectItems(idList, 0, nullptr, 0));
	CoTaskMemFree(idList);

	if (SUCCEEDED(init))
		CoUninitialize();
	return ok;
}

#else

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QUrl>

bool revealInFileManager(const QString &filePath)
{
	QDBusConnection bus = QDBusConnection::sessionBus();
	if (!bus.isConnected())
		return false;

	const QString service = QStringLiteral("org.freedesktop.FileManager1");
	// Asking first avoids having the bus start a file manager that is not installed, and a
	// blocking wait on a name nobody owns.
	QDBusConnectionInterface *names = bus.interface();
	if (!names)
		return false;
	const QDBusReply<bool> registered = names->isServiceRegistered(service);
	if (!registered.isValid() || !registered.value()) {
		const QDBusReply<QStringList> activatable = names->activatableServiceNames();
		if (!activatable.isValid() || !activatable.value().contains(service))
			return false;
	}

	QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
							   service, QStringLiteral("ShowItems"));
	call << QStringList{QUrl::fromLocalFile(filePath).toString(QUrl::FullyEncoded)} << QString();
	// Bounded: the UI thread waits here, and a hung file manager must not hang the dock.
	const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
	return reply.type() == QDBusMessage::ReplyMessage;
}

#endif
