#ifndef CLIPROGRESS_H
#define CLIPROGRESS_H

#include <QObject>
#include <QString>

#include <cstdio>

// The progress of a command-line transfer: on a terminal a bar redrawn in
// place; otherwise (a log, a pipe) one plain line per tenth, so that logs
// stay readable. Fed by the engines' start/progress signals.
class CliProgress : public QObject
{
    Q_OBJECT
public:
    // `interactive` chooses the bar; by default it follows whether `out` is
    // a terminal.
    explicit CliProgress(std::FILE *out, QObject *parent = nullptr);
    void setInteractive(bool interactive) { m_interactive = interactive; }
    // Draws on `out` from now on (a bar only if it is a terminal).
    void setStream(std::FILE *out);

    // What is being done, shown before the bar or as its own line.
    void setLabel(const QString &label);
    // Ends the bar's line, if one is drawn.
    void finish();
    // The total is not known (a device's firmware read until it ends): the
    // bytes so far are shown instead of a share, until it is turned off.
    void setCountingBytes(bool counting) { m_countingBytes = counting; }

public slots:
    void setRange(int minimum, int maximum);
    void setValue(int value);

private:
    void draw(int percent);

    std::FILE *m_out;
    bool m_interactive;
    QString m_label;
    int m_minimum = 0;
    int m_maximum = 0;
    int m_shown = -1;           // percent last shown
    bool m_lineOpen = false;
    bool m_countingBytes = false;
};

#endif // CLIPROGRESS_H
