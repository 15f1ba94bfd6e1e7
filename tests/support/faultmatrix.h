#ifndef FAULTMATRIX_H
#define FAULTMATRIX_H

#include <QElapsedTimer>
#include <QString>
#include <QVector>

// The cells of one road's fault matrix, printed as a table when the test
// ends: fault, step, what the program did, how long it took, and whether
// every promise held. The table also goes to $FAULT_MATRIX_DIR/<road>.txt,
// which the test script prints after the suite.
class FaultMatrix
{
public:
    explicit FaultMatrix(const QString &road);

    // One cell: started when made, recorded when it goes, as held unless
    // the current test row has failed by then.
    class Cell
    {
    public:
        Cell(FaultMatrix *matrix, const QString &fault, const QString &step);
        ~Cell();
        Cell(const Cell &) = delete;
        Cell &operator=(const Cell &) = delete;

        void setOutcome(const QString &outcome) { m_outcome = outcome; }
        qint64 elapsed() const { return m_clock.elapsed(); }

    private:
        FaultMatrix *m_matrix;
        QString m_fault;
        QString m_step;
        QString m_outcome;
        QElapsedTimer m_clock;
    };

    void print() const;

private:
    struct Row
    {
        QString fault;
        QString step;
        QString outcome;
        qint64 ms;
        bool held;
    };

    QString m_road;
    QVector<Row> m_rows;
};

#endif // FAULTMATRIX_H
