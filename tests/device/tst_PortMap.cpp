#include "TestSupport.h"
#include "device/PortMap.h"
#include "sim/VirtualSwitcher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestPortMap : public QObject {
    Q_OBJECT
private slots:
    void fixedRangesWithoutOverride() {
        ScopedEnv noOverride("INCYCLER_PORT_DIR", QByteArray());
        QCOMPARE(PortMap::DevicePath(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(PortMap::DevicePath(32), QStringLiteral("/dev/ttyS31"));
        QCOMPARE(PortMap::DevicePath(33), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(PortMap::DevicePath(65), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(PortMap::DevicePath(96), QStringLiteral("/dev/ttyACM31"));
        QVERIFY(PortMap::DevicePath(0).isEmpty());
        QVERIFY(PortMap::DevicePath(97).isEmpty());

        QCOMPARE(PortMap::NumberForDeviceName(QStringLiteral("ttyS0")), 1);
        QCOMPARE(PortMap::NumberForDeviceName(QStringLiteral("ttyUSB2")), 35);
        QCOMPARE(PortMap::NumberForDeviceName(QStringLiteral("ttyACM31")), 96);
        QCOMPARE(PortMap::NumberForDeviceName(QStringLiteral("ttyUSB32")), 0);
        QCOMPARE(PortMap::NumberForDeviceName(QStringLiteral("ttyUSB01")), 0);
        QCOMPARE(PortMap::NumberForDeviceName(QStringLiteral("pts/3")), 0);

        // The system's devices that have a number, each once, in order.
        const QStringList system{QStringLiteral("ttyUSB2"), QStringLiteral("ttyS0"),
                                 QStringLiteral("pts/3"), QStringLiteral("ttyUSB2"),
                                 QStringLiteral("ttyACM40")};
        QCOMPARE(PortMap::AvailablePorts([&] { return system; }), (QList<int>{1, 35}));
    }

    void overrideListsOnlyComEntriesThatAreDevices() {
        QTemporaryDir dir;
        ScopedEnv env("INCYCLER_PORT_DIR", dir.path().toLocal8Bit());
        VirtualSwitcher::Options options;
        options.portDir = dir.path();
        options.comNumber = 10;
        VirtualSwitcher com10(options);
        options.comNumber = 3;
        VirtualSwitcher com3(options);
        QVERIFY(com10.Start());
        QVERIFY(com3.Start());

        QFile plain(dir.filePath(QStringLiteral("COM5")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(
            QFile::link(QStringLiteral("/nonexistent/tty"), dir.filePath(QStringLiteral("COM7"))));
        QVERIFY(QFile::link(com3.SlavePath(), dir.filePath(QStringLiteral("COMX"))));
        QVERIFY(QFile::link(com3.SlavePath(), dir.filePath(QStringLiteral("COM08"))));
        QVERIFY(QFile::link(com3.SlavePath(), dir.filePath(QStringLiteral("ttyUSB0"))));

        // Only those: not the system's own devices as well.
        const auto system = [] { return QStringList{QStringLiteral("ttyS0")}; };
        QCOMPARE(PortMap::AvailablePorts(system), (QList<int>{3, 10}));
        QCOMPARE(PortMap::DevicePath(3), dir.filePath(QStringLiteral("COM3")));
    }

    void overrideThatIsNoReadableDirectoryHasNoPorts() {
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("file")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        // Anyone could point its COM<n> at another device.
        const QString open = dir.filePath(QStringLiteral("open"));
        QVERIFY(QDir().mkdir(open) && ::chmod(QFile::encodeName(open).constData(), 0777) == 0);
        // Never the fixed ranges instead: a mistyped name must not drive another device.
        for (const QString& path :
             {dir.filePath(QStringLiteral("missing")), plain.fileName(), open}) {
            ScopedEnv env("INCYCLER_PORT_DIR", path.toLocal8Bit());
            QVERIFY(PortMap::DevicePath(1).isEmpty());
            QVERIFY(PortMap::AvailablePorts([] {
                        return QStringList{QStringLiteral("ttyS0")};
                    }).isEmpty());
            QVERIFY2(PortMap::PortDirProblem().contains(path),
                     qPrintable(PortMap::PortDirProblem()));
        }
        ScopedEnv env("INCYCLER_PORT_DIR", dir.path().toLocal8Bit());
        QVERIFY(PortMap::PortDirProblem().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_PortMap.moc"
