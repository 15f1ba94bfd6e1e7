// The add-device dialog and its IPv4 editor: the key table, filling the
// fields, when the address is complete, and the wait cursor.
#include "ipconnectdialog.h"
#include "ipwidget.h"

#include "modaldriver.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class IPConnectDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void keys_data();
    void keys();
    void setIpAddress_data();
    void setIpAddress();
    void returnNeedsFourFields();
    void addDeviceHandsOverTextsUnderAWaitCursor_data();
    void addDeviceHandsOverTextsUnderAWaitCursor();
};

namespace {

QList<QLineEdit *> fieldsOf(IPWidget &widget)
{
    return widget.findChildren<QLineEdit *>();
}

QStringList texts(const QList<QLineEdit *> &fields)
{
    QStringList list;
    for (const QLineEdit *field : fields)
        list << field->text();
    return list;
}

} // namespace

void IPConnectDialogTest::keys_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QString>("keys");          // digits, R(ight), L(eft), B(ackspace)
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<int>("focus");
    QTest::addColumn<int>("cursorAfter");
    QTest::addColumn<QString>("selected");

    // Fields written "a|b|c|d".
    const auto row = [](const char *name, const char *before, int field, int cursor, const char *keys,
                        const char *after, int focus, int cursorAfter, const char *selected) {
        QTest::newRow(name) << QString::fromLatin1(before).split(QLatin1Char('|')) << field << cursor << keys
                            << QString::fromLatin1(after).split(QLatin1Char('|')) << focus << cursorAfter << selected;
    };
    row("fourth digit moves on, not entered", "|55||", 0, 0, "1921", "192|55||", 1, 2, "55");
    row("the next digit replaces", "|55||", 0, 0, "19211", "192|1||", 1, 1, "");
    row("Right at the end trims zeros", "010|||", 0, 3, "R", "10|||", 1, 0, "");
    row("0 stays 0", "0|||", 0, 1, "R", "0|||", 1, 0, "");
    row("Right inside a field", "123|||", 0, 1, "R", "123|||", 0, 2, "");
    row("Right at the end of field 4", "1|2|3|4", 3, 1, "R", "1|2|3|4", 3, 1, "");
    row("Left at 0 of field 3", "1|22|3|4", 2, 0, "L", "1|22|3|4", 1, 2, "");
    row("Left at 0 of field 1", "1|2||", 0, 0, "L", "1|2||", 0, 0, "");
    row("Backspace at 0 of field 2", "12|3||", 1, 0, "B", "12|3||", 0, 2, "");
    row("Backspace inside a field", "123|||", 0, 2, "B", "13|||", 0, 1, "");
    // A dot (or a comma) ends a field, as in any address box.
    row("an address typed with dots", "|||", 0, 0, "127.0.0.1", "127|0|0|1", 3, 1, "");
    row("comma, next field ready to type over", "010|55||", 0, 3, ",", "10|55||", 1, 2, "55");
    row("dot in an empty field", "|||", 0, 0, ".", "|||", 0, 0, "");
    row("dot in field 4", "1|2|3|4", 3, 1, ".", "1|2|3|4", 3, 1, "");
}

void IPConnectDialogTest::keys()
{
    QFETCH(QStringList, before);
    QFETCH(int, field);
    QFETCH(int, cursor);
    QFETCH(QString, keys);
    QFETCH(QStringList, after);
    QFETCH(int, focus);
    QFETCH(int, cursorAfter);
    QFETCH(QString, selected);

    IPWidget widget;
    widget.show();
    widget.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&widget));
    const QList<QLineEdit *> fields = fieldsOf(widget);
    QCOMPARE(fields.size(), 4);
    for (int i = 0; i < 4; ++i)
        fields[i]->setText(before[i]);
    fields[field]->setFocus();
    fields[field]->setCursorPosition(cursor);

    for (const QChar key : keys) {
        QWidget *target = QApplication::focusWidget();
        if (key == QLatin1Char('R'))
            QTest::keyClick(target, Qt::Key_Right);
        else if (key == QLatin1Char('L'))
            QTest::keyClick(target, Qt::Key_Left);
        else if (key == QLatin1Char('B'))
            QTest::keyClick(target, Qt::Key_Backspace);
        else
            QTest::keyClick(target, key.toLatin1());
    }
    QCOMPARE(texts(fields), after);
    QCOMPARE(QApplication::focusWidget(), fields[focus]);
    QCOMPARE(fields[focus]->cursorPosition(), cursorAfter);
    QCOMPARE(fields[focus]->selectedText(), selected);
}

void IPConnectDialogTest::setIpAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("four parts") << "192.168.1.20" << QStringList{ "192", "168", "1", "20" };
    QTest::newRow("two parts change two fields") << "10.1" << QStringList{ "10", "1", "7", "8" };
    QTest::newRow("parts beyond four ignored") << "1.2.3.4.5" << QStringList{ "1", "2", "3", "4" };
}

void IPConnectDialogTest::setIpAddress()
{
    QFETCH(QString, address);
    QFETCH(QStringList, after);
    IPWidget widget;
    widget.setIpAddress(QStringLiteral("5.6.7.8"));
    widget.setIpAddress(address);
    QCOMPARE(texts(fieldsOf(widget)), after);
    QCOMPARE(widget.ipAddressText(), after.join(QLatin1Char('.')));
}

void IPConnectDialogTest::returnNeedsFourFields()
{
    IPWidget widget;
    QSignalSpy sent(&widget, &IPWidget::sendIP);
    const QList<QLineEdit *> fields = fieldsOf(widget);
    widget.setIpAddress(QStringLiteral("10.0..5"));
    QTest::keyClick(fields[0], Qt::Key_Return);
    QCOMPARE(sent.count(), 0);
    QCOMPARE(widget.ipAddressText(), QStringLiteral("10.0..5"));
    fields[2]->setText(QStringLiteral("7"));
    QTest::keyClick(fields[3], Qt::Key_Return);
    QCOMPARE(sent.count(), 1);
    QCOMPARE(sent.at(0).at(0).toString(), QStringLiteral("10.0.7.5"));
}

// A port the device can have is handed over (once, under a wait cursor);
// any other text is refused in the dialog, which keeps what was typed.
void IPConnectDialogTest::addDeviceHandsOverTextsUnderAWaitCursor_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("refusal");            // empty: handed over
    const QString address = QStringLiteral("198.51.100.20");
    const QString badPort = QStringLiteral("The port must be a number from 1 to 65535.");
    QTest::newRow("4242") << address << "4242" << "";
    QTest::newRow("65535") << address << "65535" << "";
    QTest::newRow("letters") << address << "abc" << badPort;
    QTest::newRow("past 65535 (would wrap to 4464)") << address << "70000" << badPort;
    QTest::newRow("0") << address << "0" << badPort;
    QTest::newRow("empty") << address << "" << badPort;
    QTest::newRow("a field left empty") << "198.51..20" << "4242"
                                        << "The address needs all four numbers, for example 192.168.1.20.";
    for (const char *none : { "0.0.0.0", "255.255.255.255", "239.1.2.3" })
        QTest::newRow(none) << none << "4242"
                            << QString::fromLatin1(none) + QStringLiteral(" is no device's address (0.0.0.0, broadcast "
                                                                          "and multicast addresses reach none or many); "
                                                                          "type the device's own address.");
}

void IPConnectDialogTest::addDeviceHandsOverTextsUnderAWaitCursor()
{
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, refusal);
    const bool handed = refusal.isEmpty();
    auto *dialog = new IPConnectDialog;
    dialog->setAddress(address, 4242);
    QCOMPARE(dialog->portEdit->text(), QStringLiteral("4242"));
    QCOMPARE(dialog->addButton->isDefault(), true);
    QStringList sent;
    connect(dialog, &IPConnectDialog::getNetworkDevice, this, [&](const QString &ip, const QString &text) {
        sent << ip << text;
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    });
    ModalDriver driver(ModalDriver::dismissAll());
    dialog->portEdit->setText(port);
    QTest::mouseClick(dialog->addButton, Qt::LeftButton);
    // A second press while the device is checked hands nothing over again;
    // a refused port is refused again.
    QTest::mouseClick(dialog->addButton, Qt::LeftButton);
    QCOMPARE(sent, handed ? QStringList({ address, port }) : QStringList());
    const QString said = QStringLiteral("Add Network Device|") + refusal;
    QCOMPARE(driver.seen(), handed ? QStringList() : QStringList({ said, said }));
    QCOMPARE(dialog->portEdit->text(), port);
    QCOMPARE(dialog->ipWidget->ipAddressText(), address);
    QCOMPARE(dialog->addButton->isEnabled(), !handed);
    delete dialog;
    QVERIFY(!QGuiApplication::overrideCursor());
}

QTEST_MAIN(IPConnectDialogTest)
#include "tst_ipconnectdialog.moc"
