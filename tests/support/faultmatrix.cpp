#include "faultmatrix.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <cstdio>

FaultMatrix::FaultMatrix(const QString &road)
    : m_road(road)
{
}

FaultMatrix::Cell::Cell(FaultMatrix *matrix, const QString &fault, const QString &step)
    : m_matrix(matrix)
    , m_fault(fault)
    , m_step(step)
{
    m_clock.start();
}

FaultMatrix::Cell::~Cell()
{
    m_matrix->m_rows.append({ m_fault, m_step, m_outcome, m_clock.elapsed(), !QTest::currentTestFailed() });
}

void FaultMatrix::print() const
{
    int faultWidth = 5;
    int stepWidth = 4;
    for (const Row &row : m_rows) {
        faultWidth = qMax(faultWidth, int(row.fault.size()));
        stepWidth = qMax(stepWidth, int(row.step.size()));
    }
    QString table = QStringLiteral("Fault matrix: %1\n").arg(m_road);
    const auto line = [&](const QString &fault, const QString &step, const QString &time, const QString &verdict,
                          const QString &outcome) {
        table += fault.leftJustified(faultWidth + 2) + step.leftJustified(stepWidth + 2) + time.rightJustified(8)
            + QLatin1String("  ") + verdict.leftJustified(6) + outcome + QLatin1Char('\n');
    };
    line(QStringLiteral("fault"), QStringLiteral("step"), QStringLiteral("ms"), QStringLiteral("held"),
         QStringLiteral("outcome"));
    int broken = 0;
    for (const Row &row : m_rows) {
        line(row.fault, row.step, QString::number(row.ms), row.held ? QStringLiteral("yes") : QStringLiteral("NO"),
             row.outcome);
        broken += !row.held;
    }
    table += QStringLiteral("%1 cells, %2 broken\n").arg(m_rows.size()).arg(broken);
    std::fputs(qPrintable(table), stdout);
    std::fflush(stdout);
    const QString directory = qEnvironmentVariable("FAULT_MATRIX_DIR");
    if (directory.isEmpty() || !QDir().mkpath(directory))
        return;
    QString name = m_road.toLower();
    name.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
    QFile file(QDir(directory).filePath(name + QStringLiteral(".txt")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(table.toUtf8());
}
