#ifndef TRACELINES_H
#define TRACELINES_H

// How many lines a trace window keeps. A production station plugs thousands
// of devices a week into a program that runs for days; older lines give way
// to newer ones so that the trace never grows without bound.
constexpr int TraceLineLimit = 10000;

// A rich-text trace lays the whole document out anew whenever its first line
// goes, which made a full trace cost a second per pad update when lines were
// dropped one by one. Such a trace sheds its oldest lines in batches of this
// many instead, so it holds between TraceLineLimit - TraceTrimLines and
// TraceLineLimit lines once full.
constexpr int TraceTrimLines = 1000;

#endif // TRACELINES_H
