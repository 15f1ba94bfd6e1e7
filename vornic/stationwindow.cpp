#include "stationwindow.h"

#include "devicecatalog.h"
#include "historydialog.h"
#include "stationtile.h"
#include "update/stationwatch.h"
#include "updaterecord.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const char imageKey[] = "station/image";
const char verifyKey[] = "station/verify";
// The rows of the window's stations in the history.
const char program[] = "vornic station";
const int tileColumns = 3;

QLabel *textLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

StationWindow::StationWindow(QSettings *settings, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_settings(settings)
    , m_station(new ProductionStation(this))
    , m_watch(new StationWatch(m_station, this))
    , m_path(new QLineEdit(this))
    , m_browse(new QPushButton(QStringLiteral("Choose..."), this))
    , m_sha256(textLabel(this))
    , m_fits(textLabel(this))
    , m_verify(new QCheckBox(QStringLiteral("Verify After Writing"), this))
    , m_start(new QPushButton(QStringLiteral("Start"), this))
    , m_stop(new QPushButton(QStringLiteral("Stop"), this))
    , m_history(new QPushButton(QStringLiteral("History..."), this))
    , m_tally(textLabel(this))
    , m_message(textLabel(this))
    , m_tiles(new QGridLayout)
{
    setWindowTitle(QStringLiteral("Production Station - Ordane Vornic"));
    setAcceptDrops(true);
    m_path->setReadOnly(true);
    m_path->setPlaceholderText(QStringLiteral("Choose the image, or drop it here"));
    m_sha256->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_sha256->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QFont large = m_tally->font();
    large.setPointSize(14);
    large.setBold(true);
    m_tally->setFont(large);
    m_verify->setChecked(!m_settings || m_settings->value(QLatin1String(verifyKey), true).toBool());

    auto *imageRow = new QHBoxLayout;
    imageRow->addWidget(new QLabel(QStringLiteral("Image:"), this));
    imageRow->addWidget(m_path, 1);
    imageRow->addWidget(m_browse);
    auto *controls = new QHBoxLayout;
    controls->addWidget(m_verify);
    controls->addStretch(1);
    controls->addWidget(m_start);
    controls->addWidget(m_stop);
    controls->addWidget(m_history);
    auto *tiles = new QWidget(this);
    auto *tilesOuter = new QVBoxLayout(tiles);
    tilesOuter->addLayout(m_tiles);
    tilesOuter->addStretch(1);
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setWidget(tiles);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(imageRow);
    layout->addWidget(m_sha256);
    layout->addWidget(m_fits);
    layout->addLayout(controls);
    layout->addWidget(scroll, 1);
    layout->addWidget(m_tally);
    layout->addWidget(m_message);
    resize(1000, 720);

    connect(m_browse, &QPushButton::clicked, this, &StationWindow::browse);
    connect(m_start, &QPushButton::clicked, this, &StationWindow::start);
    connect(m_stop, &QPushButton::clicked, this, &StationWindow::stop);
    connect(m_history, &QPushButton::clicked, this, &StationWindow::openHistory);
    connect(m_verify, &QCheckBox::toggled, this, [this](bool on) {
        if (m_settings)
            m_settings->setValue(QLatin1String(verifyKey), on);
    });
    connect(m_station, &ProductionStation::happened, this, &StationWindow::said);
    connect(m_station, &ProductionStation::portChanged, this, [this](StationPort *port) {
        tileFor(port->port())->show(StationTile::viewOf(port));
        showTally(m_station->tally());
    });
    connect(m_station, &ProductionStation::finished, this, &StationWindow::ended);
    connect(&m_clock, &QTimer::timeout, this, [this] { showTally(m_station->tally()); });

    m_message->setText(QStringLiteral("Choose the image, then Start: every device plugged in afterwards that the "
                                      "image fits is written."));
    const QString last = m_settings ? m_settings->value(QLatin1String(imageKey)).toString() : QString();
    if (!last.isEmpty())
        chooseImage(last);
    updateControls();
}

bool StationWindow::chooseImage(const QString &path)
{
    if (busy())
        return false;
    m_image = FirmwareImage::read(path);
    m_path->setText(path);
    QString problem = m_image.problem();
    const QStringList models = problem.isEmpty() ? DeviceCatalog::modelsFitting(path) : QStringList();
    if (problem.isEmpty() && models.isEmpty())
        problem = QStringLiteral("The image fits none of the models this program knows by its file name.");
    if (!problem.isEmpty()) {
        m_image = FirmwareImage();
        m_sha256->setText(problem);
        m_fits->clear();
    } else {
        m_sha256->setText(QStringLiteral("SHA-256 %1  (%2 bytes)").arg(m_image.sha256()).arg(m_image.size()));
        m_fits->setText(QStringLiteral("It fits: %1").arg(models.join(QStringLiteral(", "))));
        if (m_settings)
            m_settings->setValue(QLatin1String(imageKey), path);
    }
    updateControls();
    return problem.isEmpty();
}

void StationWindow::browse()
{
    const QString dir = m_path->text().isEmpty() ? QString() : QFileInfo(m_path->text()).absolutePath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Image for the station"), dir);
    if (!path.isEmpty())
        chooseImage(path);
}

void StationWindow::start()
{
    if (busy() || !m_image.isRead() || !m_startAllowed)
        return;
    ProductionStation::Options options;
    options.verify = m_verify->isChecked();
    options.program = QLatin1String(program);
    m_started = true;
    m_ended = false;
    m_present = 0;
    m_runStarted = QDateTime::currentDateTimeUtc();
    m_message->setText(QStringLiteral("Waiting for devices: each one plugged in is written as it arrives."));
    emit busyChanged(true);
    m_watch->start();
    m_clock.start(1000);
    m_station->start(m_image, options);
    showTally(m_station->tally());
    updateControls();
}

void StationWindow::stop()
{
    if (!busy())
        return;
    m_message->setText(QStringLiteral("Stopping: no new device is started; those being written stop after their "
                                      "block."));
    m_station->stop();
    updateControls();
}

void StationWindow::ended()
{
    m_ended = true;
    m_watch->stop();
    m_clock.stop();
    const ProductionStation::Tally tally = m_station->tally();
    showTally(tally);
    m_message->setText(QStringLiteral("Station ended: %1 done, %2 failed, %3 skipped.")
                           .arg(tally.done)
                           .arg(tally.failed)
                           .arg(tally.skipped));
    updateControls();
    emit busyChanged(false);
    if (m_closeWhenEnded)
        close();
}

void StationWindow::said(const ProductionStation::Event &event)
{
    showTally(m_station->tally());
    if (event.kind == ProductionStation::Event::Present) {
        ++m_present;
        m_message->setText(QStringLiteral("%1 device(s) already plugged in at Start are left alone; plug them in "
                                          "again to write them.").arg(m_present));
    } else if (event.kind == ProductionStation::Event::AlreadyDone) {
        m_message->setText(QStringLiteral("%1 (%2): already updated in this run; not written again.")
                               .arg(event.port, event.serialNumber));
    }
}

StationTile *StationWindow::tileFor(const QString &port)
{
    StationTile *tile = m_tileOf.value(port);
    if (tile)
        return tile;
    tile = new StationTile(this);
    const int index = m_tileOf.size();
    m_tiles->addWidget(tile, index / tileColumns, index % tileColumns);
    m_tileOf.insert(port, tile);
    return tile;
}

void StationWindow::showTally(const ProductionStation::Tally &tally)
{
    m_tally->setText(QStringLiteral("Done %1    Failed %2    Skipped %3    Writing %4    %5 per hour")
                         .arg(tally.done)
                         .arg(tally.failed)
                         .arg(tally.skipped)
                         .arg(tally.writing)
                         .arg(tally.perHour, 0, 'f', 0));
}

void StationWindow::openHistory()
{
    UpdateHistory::Filter rows;
    rows.program = QLatin1String(program);
    rows.thisProcess = true;
    rows.since = m_runStarted;
    auto *history = new HistoryDialog(QStringLiteral("vornic"), UpdateRecord::settingsFile(QStringLiteral("Vornic")),
                                      rows, this);
    history->setWindowTitle(QStringLiteral("Update History - this station run"));
    history->setAttribute(Qt::WA_DeleteOnClose);
    history->show();
}

void StationWindow::setStartAllowed(bool allowed)
{
    m_startAllowed = allowed;
    if (!busy())
        m_message->setText(allowed ? QStringLiteral("Ready: Start, then plug the devices in.")
                                   : QStringLiteral("An update runs in the main window; Start waits for it to end."));
    updateControls();
}

void StationWindow::updateControls()
{
    const bool running = busy();
    m_browse->setEnabled(!running);
    m_verify->setEnabled(!running);
    m_start->setEnabled(!running && m_image.isRead() && m_startAllowed);
    m_stop->setEnabled(running && m_station->running());
    m_history->setEnabled(m_started);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    // A transfer cut off anywhere but after a block leaves a device that
    // does not know its image is incomplete: the window stays until the
    // devices being written have stopped cleanly.
    stop();
    if (busy()) {
        m_closeWhenEnded = true;
        m_message->setText(QStringLiteral("Stopping the devices being written before closing..."));
        event->ignore();
        return;
    }
    event->accept();
}

QString StationWindow::droppedFile(const QMimeData *data)
{
    if (!data || data->urls().size() != 1 || !data->urls().first().isLocalFile())
        return QString();
    return data->urls().first().toLocalFile();
}

void StationWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!busy() && !droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void StationWindow::dropEvent(QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (busy() || path.isEmpty())
        return;
    event->acceptProposedAction();
    chooseImage(path);
}
