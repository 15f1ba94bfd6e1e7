#include "stationtile.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

// Background and text of each state: green done, red failed, grey
// skipped, blue while a device is written.
struct Colours
{
    const char *background;
    const char *text;
};

Colours coloursOf(StationPort::State state)
{
    switch (state) {
    case StationPort::Waiting:
        return { "#eceff1", "#263238" };
    case StationPort::Writing:
        return { "#1565c0", "#ffffff" };
    case StationPort::Verifying:
        return { "#4527a0", "#ffffff" };
    case StationPort::Done:
        return { "#2e7d32", "#ffffff" };
    case StationPort::Failed:
        return { "#c62828", "#ffffff" };
    case StationPort::Skipped:
        return { "#9e9e9e", "#212121" };
    }
    return { "#eceff1", "#263238" };
}

QLabel *plainLabel(int pointSize, bool bold, QWidget *parent)
{
    auto *label = new QLabel(parent);
    // What a device says of itself is shown as text, never as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSize(pointSize);
    font.setBold(bold);
    label->setFont(font);
    return label;
}

} // namespace

StationTile::StationTile(QWidget *parent)
    : QFrame(parent)
    , m_port(plainLabel(16, true, this))
    , m_device(plainLabel(13, false, this))
    , m_state(plainLabel(24, true, this))
    , m_detail(plainLabel(11, false, this))
    , m_progress(new QProgressBar(this))
{
    setObjectName(QStringLiteral("stationTile"));
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(300, 200);
    m_progress->setRange(0, 100);
    m_progress->setMinimumHeight(26);
    m_detail->setMinimumHeight(m_detail->fontMetrics().lineSpacing() * 2);
    m_detail->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_port);
    layout->addWidget(m_device);
    layout->addWidget(m_state);
    layout->addWidget(m_progress);
    layout->addWidget(m_detail, 1);
    show(m_view);
}

StationTile::View StationTile::viewOf(const StationPort *port)
{
    View view;
    view.port = port->port();
    view.model = port->model();
    view.serialNumber = port->serialNumber();
    view.state = port->state();
    view.awaitingReturn = port->awaitingReturn();
    view.percent = port->percent();
    view.elapsedMs = port->elapsedMs();
    if (port->state() == StationPort::Done)
        view.detail = port->outcome().verified() ? QStringLiteral("Verified.") : port->reason();
    else
        view.detail = port->reason();
    return view;
}

QString StationTile::stateText() const
{
    switch (m_view.state) {
    case StationPort::Waiting:
        return QStringLiteral("Waiting");
    case StationPort::Writing:
        return m_view.awaitingReturn ? QStringLiteral("Restarting") : QStringLiteral("Writing");
    case StationPort::Verifying:
        return QStringLiteral("Verifying");
    case StationPort::Done:
        return QStringLiteral("Done");
    case StationPort::Failed:
        return QStringLiteral("Failed");
    case StationPort::Skipped:
        return QStringLiteral("Skipped");
    }
    return QString();
}

void StationTile::show(const View &view)
{
    m_view = view;
    const Colours colours = coloursOf(view.state);
    setStyleSheet(QStringLiteral("QFrame#stationTile { background: %1; border-radius: 6px; }"
                                 "QFrame#stationTile QLabel { color: %2; background: transparent; }")
                      .arg(QLatin1String(colours.background), QLatin1String(colours.text)));
    m_port->setText(view.port.isEmpty() ? QStringLiteral("-") : view.port);
    QStringList device;
    if (!view.model.isEmpty())
        device << view.model;
    device << (view.serialNumber.isEmpty() ? QStringLiteral("no serial number") : view.serialNumber);
    m_device->setText(device.join(QStringLiteral("  ")));
    QString state = stateText();
    if (view.state == StationPort::Done || view.state == StationPort::Failed)
        state += QStringLiteral("  %1 s").arg(view.elapsedMs / 1000.0, 0, 'f', 1);
    m_state->setText(state);
    m_progress->setValue(view.percent);
    m_progress->setVisible(view.state != StationPort::Skipped);
    if (view.awaitingReturn && view.detail.isEmpty())
        m_detail->setText(QStringLiteral("Restarting into its bootloader..."));
    else
        m_detail->setText(view.detail);
}
