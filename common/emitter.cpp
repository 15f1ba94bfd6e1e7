#include "emitter.h"

Emitter::Emitter(QObject *parent)
    : QObject(parent)
{
}
