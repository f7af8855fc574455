#include "publish/publishsettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The [Publish] section and the password file as an administrator prepares them, and as the
// window writes them.

using namespace thermavo;

class PublishSettingsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;

    QString ini() const { return m_folder.filePath(QStringLiteral("thermavo.INI")); }
    QString secret() const { return passwordFilePath(ini()); }

    static void write(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

private slots:
    void init() {
        QFile::remove(ini());
        QFile::remove(secret());
    }

    void read_data() {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("clientId");
        QTest::addColumn<QString>("expectedPassword");
        QTest::addColumn<bool>("discovery");
        QTest::newRow("no section: off, the defaults")
            << QByteArray() << QByteArray() << false << 1883 << "thermavo/lab"
            << "thermavo-lab"
            << "" << true;
        QTest::newRow("prepared by an administrator")
            << QByteArray("[Publish]\r\nEnabled=1\r\nPort=8883\r\nTopicPrefix=site/store\r\n"
                          "ClientId=store-1\r\nHomeAssistant=0\r\n")
            << QByteArray("s3cret\n") << true << 8883 << "site/store"
            << "store-1"
            << "s3cret" << false;
        QTest::newRow("port out of range, prefix with a wildcard")
            << QByteArray("[Publish]\r\nPort=70000\r\nTopicPrefix=site/#\r\n")
            << QByteArray("pass word \r\n") << false << 1883 << "thermavo/lab"
            << "thermavo-lab"
            << "pass word " << true;
        QTest::newRow("port no number") << QByteArray("[Publish]\r\nPort=mqtt\r\n")
                                        << QByteArray("a\nb") << false << 1883 << "thermavo/lab"
                                        << "thermavo-lab"
                                        << "a\nb" << true;
    }
    void read() {
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, password);
        QFETCH(bool, enabled);
        QFETCH(int, port);
        QFETCH(QString, prefix);
        QFETCH(QString, clientId);
        QFETCH(QString, expectedPassword);
        QFETCH(bool, discovery);
        if (!section.isEmpty())
            write(ini(), section);
        if (!password.isEmpty())
            write(secret(), password);
        const PublishSettings settings = loadPublishSettings(ini(), QStringLiteral("lab"));
        QCOMPARE(settings.enabled, enabled);
        QCOMPARE(settings.broker.port, port);
        QCOMPARE(QString::fromStdString(settings.broker.prefix), prefix);
        QCOMPARE(QString::fromStdString(settings.broker.clientId), clientId);
        QCOMPARE(QString::fromStdString(settings.broker.password), expectedPassword);
        QCOMPARE(settings.broker.discovery, discovery);
    }

    // Written and read back; the window's own section stays byte for byte, and the password
    // is readable by its owner alone, or gone when there is none.
    void writeAndReadBack_data() {
        QTest::addColumn<QString>("password");
        QTest::newRow("with a password") << "p@ss=word;";
        QTest::newRow("without") << "";
    }
    void writeAndReadBack() {
        QFETCH(QString, password);
        const QByteArray window = "[TMainForm]\r\nLeft=10\r\nTop=20\r\n";
        write(ini(), window);
        write(secret(), "old");
        PublishSettings settings;
        settings.enabled = true;
        settings.broker.host = "broker.example";
        settings.broker.port = 1884;
        settings.broker.clientId = "id 1";
        settings.broker.prefix = "a/b";
        settings.broker.user = "logger";
        settings.broker.password = password.toStdString();
        settings.broker.tls = true;
        settings.broker.caFile = "/etc/ssl/ca.pem";
        settings.broker.discovery = false;
        savePublishSettings(ini(), settings);

        const PublishSettings read = loadPublishSettings(ini(), QStringLiteral("other"));
        QCOMPARE(read.enabled, true);
        QCOMPARE(read.broker.host, settings.broker.host);
        QCOMPARE(read.broker.port, settings.broker.port);
        QCOMPARE(read.broker.clientId, settings.broker.clientId);
        QCOMPARE(read.broker.prefix, settings.broker.prefix);
        QCOMPARE(read.broker.user, settings.broker.user);
        QCOMPARE(read.broker.password, settings.broker.password);
        QCOMPARE(read.broker.tls, true);
        QCOMPARE(read.broker.caFile, settings.broker.caFile);
        QCOMPARE(read.broker.discovery, false);

        QFile file(ini());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith(window));
        QVERIFY(password.isEmpty() || !bytes.contains(password.toUtf8()));
        if (password.isEmpty()) {
            QVERIFY(!QFile::exists(secret()));
        } else {
#ifndef Q_OS_WIN
            // Windows keeps access in lists, which these bits do not show.
            QCOMPARE(QFile::permissions(secret()) &
                         (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                          QFileDevice::WriteGroup | QFileDevice::WriteOther),
                     QFileDevice::Permissions());
#endif
        }
    }
};

QTEST_GUILESS_MAIN(PublishSettingsTest)
#include "test_publishsettings.moc"
