#include "history/image.h"

#include "files/files.h"

#include <QCryptographicHash>
#include <QFile>

namespace History {

QString image_sha256() {
    static QString const hash = [] {
        QFile image(":resources/" + Files::desired_FW_fileName_bin);
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        return image.open(QIODevice::ReadOnly) && sha256.addData(&image)
                   ? QString::fromLatin1(sha256.result().toHex())
                   : QString();
    }();
    return hash;
}

} // namespace History
