// The rule that an image's file name must name the device's model and
// kind, for any row text and any path a user may pick or type.
#include "devicecatalog.h"
#include "fuzzinput.h"

#include <QFileInfo>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const bool network = input.byte() & 1;
    static const char *const models[] = { "Primora", "Bridova", "Bridonix", "Socara", "Beamora", "Dongara", "" };
    const QString model = QLatin1String(models[input.byte() % 7]);
    const QString row = model + QString::fromUtf8(input.field('\0'));
    const QString path = QString::fromUtf8(input.rest());

    const bool matches = DeviceCatalog::imageMatches(row, path, network);
    const QString requirement = DeviceCatalog::imageRequirement(row, network);
    FUZZ_ASSERT(!matches || !requirement.isEmpty());
    FUZZ_ASSERT(!matches || !DeviceCatalog::isUnknownRow(row) || DeviceCatalog::typeOfRow(row) != 0);
    // Only the file's own name counts, not the folders it sits in.
    const QString name = QFileInfo(path).fileName();
    FUZZ_ASSERT(DeviceCatalog::imageMatches(row, QStringLiteral("/PROD/INB/IN2/INC/BRDV/") + name, network) == matches);
    FUZZ_ASSERT(DeviceCatalog::imageMatches(row, name, network) == matches);
    return 0;
}
