#ifndef IPWIDGET_H
#define IPWIDGET_H

#include <QList>
#include <QString>
#include <QWidget>

class QFrame;
class QIntValidator;
class QLineEdit;

// An IPv4 address editor that looks like one line edit with three dots:
// four fields of up to three digits (0 to 255) in a white frame, with the
// cursor moving between fields as one expects of an address box.
class IPWidget : public QWidget
{
    Q_OBJECT
public:
    explicit IPWidget(QWidget *parent = nullptr);

    // The four field texts joined with "." (three dots, empty fields too).
    QString ipAddressText() const;
    // The first four "."-separated parts fill the fields in order; fields
    // without a part keep their text.
    void setIpAddress(const QString &text);

signals:
    void sendIP(QString);

public slots:
    void popupWarning(QString text);
    void finishEditIPAddress();
    void hideToolTip();

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    // Field `n` is done: its leading zeros go, and the cursor moves to the
    // start of the next field (whose text is selected, to be typed over).
    void leaveField(int n, bool selectNext);

    QList<QLineEdit *> edits;
    QIntValidator *octetValidator;
    QFrame *backFrame;
    QString address;
};

#endif // IPWIDGET_H
