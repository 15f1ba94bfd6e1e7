#include "devicetype.h"
#include "devicetypefromserial.h"

#include <QtConcurrent>
#include <QtTest>

class DeviceTypeFromSerialTest : public QObject
{
    Q_OBJECT
private slots:
    void type_data();
    void type();
    void sameResultOnManyThreads();
};

void DeviceTypeFromSerialTest::type_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("expected");

    QTest::newRow("Primora") << "0500A1B2" << int(Primora);
    QTest::newRow("Bridonix") << "02C1234" << int(Bridonix);
    QTest::newRow("Bridova") << "02C0FFF" << int(Bridova);
    QTest::newRow("Socara") << "03D0001" << int(Socara);
    QTest::newRow("Beamora") << "03E0001" << int(Beamora);
    QTest::newRow("Dongara") << "04E20001" << int(Dongara);
    QTest::newRow("lower-case digits") << "0500a1b2" << int(UnknownDevice);
    QTest::newRow("empty") << "" << int(UnknownDevice);
    QTest::newRow("two words, order of patterns decides") << "03D0001 0500A1B2" << int(Primora);
    QTest::newRow("prefix alone") << "05" << int(Primora);
    QTest::newRow("02C2 is neither") << "02C2000" << int(UnknownDevice);
    QTest::newRow("prefix must start a word") << "X0500A1B2" << int(UnknownDevice);
    QTest::newRow("04E without 2") << "04E10001" << int(UnknownDevice);
    QTest::newRow("Bridonix before Primora") << "0500 02C1AA" << int(Bridonix);
}

void DeviceTypeFromSerialTest::type()
{
    QFETCH(QString, serial);
    QFETCH(int, expected);
    QCOMPARE(deviceTypeFromSerial(serial), expected);
}

void DeviceTypeFromSerialTest::sameResultOnManyThreads()
{
    const QVector<QPair<QString, int>> known = { { "0500A1B2", Primora }, { "02C1234", Bridonix },
                                                 { "03D0001", Socara }, { "0500a1b2", UnknownDevice },
                                                 { "04E20001", Dongara } };
    QStringList many;
    for (int i = 0; i < 400; ++i)
        many << known.at(i % known.size()).first;
    const QList<int> types = QtConcurrent::blockingMapped<QList<int>>(many, deviceTypeFromSerial);
    QCOMPARE(types.size(), many.size());
    for (int i = 0; i < many.size(); ++i)
        QCOMPARE(types.at(i), known.at(i % known.size()).second);
}

QTEST_GUILESS_MAIN(DeviceTypeFromSerialTest)
#include "tst_devicetypefromserial.moc"
