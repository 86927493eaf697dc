#include "XwdImage.h"

#include <QFile>
#include <QtEndian>

QImage readXwdScreen(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    constexpr int headerWords = 25;
    if (data.size() < headerWords * 4)
        return {};
    auto word = [&data](int i) { return qFromBigEndian<quint32>(data.constData() + i * 4); };
    const quint32 headerSize = word(0);
    const quint32 width = word(4);
    const quint32 height = word(5);
    const quint32 byteOrder = word(7); // 0: least significant byte first
    const quint32 bitsPerPixel = word(11);
    const quint32 bytesPerLine = word(12);
    const quint32 colours = word(19);
    const qint64 pixels = qint64(headerSize) + qint64(colours) * 12;
    if (bitsPerPixel != 32 || width == 0 || height == 0 || width > 10000 || height > 10000 ||
        pixels + qint64(bytesPerLine) * height > data.size())
        return {};
    QImage image(int(width), int(height), QImage::Format_RGB32);
    for (quint32 y = 0; y < height; ++y) {
        const auto *row =
            reinterpret_cast<const uchar *>(data.constData() + pixels + qint64(y) * bytesPerLine);
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(int(y)));
        for (quint32 x = 0; x < width; ++x) {
            const uchar *p = row + x * 4;
            const quint32 v = byteOrder == 0 ? qFromLittleEndian<quint32>(p) : qFromBigEndian<quint32>(p);
            out[x] = 0xff000000u | (v & 0x00ffffffu);
        }
    }
    return image;
}
