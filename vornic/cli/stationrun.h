#ifndef STATIONRUN_H
#define STATIONRUN_H

#include "update/productionstation.h"

#include <QObject>
#include <QString>

#include <cstdio>

class CliConsole;

// vornic-cli station: the production station on the command line. It
// shows the image and what it fits, then one line per event (or one JSON
// object per line), and on a terminal a last line with the running tally;
// hot-plug events (and a slow poll besides) make the station look at the
// bus. Ctrl+C, SIGTERM or SIGHUP stop it cleanly, then the summary is
// printed.
class StationRun : public QObject
{
    Q_OBJECT
public:
    StationRun(CliConsole *console, std::FILE *out, std::FILE *err, QObject *parent = nullptr);

    // 0 when every device started ended done; 1 otherwise.
    int run(const FirmwareImage &image, const ProductionStation::Options &options, bool json);

private:
    void print(const ProductionStation::Event &event);
    void showTally();
    void clearTally();
    void summary();

    CliConsole *m_console;
    std::FILE *m_out;
    std::FILE *m_err;
    ProductionStation m_station;
    bool m_json = false;
    bool m_interactive = false;
    bool m_tallyShown = false;
};

#endif // STATIONRUN_H
