#include "app/pictures.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <span>

#include "platform/byte_reader.h"

namespace qm::app {

namespace {

QPixmap ArrowPixmap(Arrow direction, int size, const QColor& fill) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QPainterPath path;
  // An arrow pointing up: head triangle over a shaft.
  path.moveTo(s * 0.5, s * 0.1);
  path.lineTo(s * 0.9, s * 0.5);
  path.lineTo(s * 0.65, s * 0.5);
  path.lineTo(s * 0.65, s * 0.9);
  path.lineTo(s * 0.35, s * 0.9);
  path.lineTo(s * 0.35, s * 0.5);
  path.lineTo(s * 0.1, s * 0.5);
  path.closeSubpath();
  if (direction == Arrow::Down) {
    QTransform flip;
    flip.translate(0, s);
    flip.scale(1, -1);
    path = flip.map(path);
  }
  p.setPen(QPen(fill.darker(160), s / 16.0));
  p.setBrush(fill);
  p.drawPath(path);
  return pm;
}

}  // namespace

QIcon ArrowIcon(Arrow direction) {
  QIcon icon;
  for (int size : {16, 24, 32}) {
    icon.addPixmap(ArrowPixmap(direction, size, QColor(0x2f, 0x7d, 0xd1)), QIcon::Normal);
    icon.addPixmap(ArrowPixmap(direction, size, QColor(0xa0, 0xa0, 0xa0)), QIcon::Disabled);
  }
  return icon;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x33, 0x33, 0x3a));
    p.drawRoundedRect(QRectF(s * 0.05, s * 0.15, s * 0.9, s * 0.7), s * 0.08, s * 0.08);
    const QColor frames[3] = {QColor(0xe8, 0x5d, 0x3c), QColor(0xf2, 0xb1, 0x34),
                              QColor(0x3c, 0xa5, 0xe8)};
    for (int i = 0; i < 3; ++i) {
      p.setBrush(frames[i]);
      p.drawRect(QRectF(s * (0.12 + 0.27 * i), s * 0.3, s * 0.22, s * 0.4));
    }
    p.setBrush(Qt::white);
    for (int i = 0; i < 5; ++i) {
      p.drawRect(QRectF(s * (0.12 + 0.17 * i), s * 0.19, s * 0.08, s * 0.06));
      p.drawRect(QRectF(s * (0.12 + 0.17 * i), s * 0.75, s * 0.08, s * 0.06));
    }
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

std::optional<QPoint> CursorHotSpot(const QByteArray& file) {
  ByteReader r(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.constData()),
                                        static_cast<size_t>(file.size())));
  uint16_t reserved, type, count;
  if (!r.U16LE(reserved) || !r.U16LE(type) || !r.U16LE(count)) return std::nullopt;
  if (reserved != 0 || type != 2 || count == 0) return std::nullopt;
  // First directory entry: width, height, colours, reserved, then the hot spot.
  uint16_t hx, hy;
  if (!r.Skip(4) || !r.U16LE(hx) || !r.U16LE(hy)) return std::nullopt;
  return QPoint(hx, hy);
}

std::optional<QCursor> LoadCursorFile(const QString& path) {
  QFile f(path);
  // Cursor files are tiny; anything large is not one and is not read whole.
  if (!f.open(QIODevice::ReadOnly) || f.size() > (1 << 20)) return std::nullopt;
  const QByteArray bytes = f.readAll();
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  // Qt's icon reader understands the cursor layout once it is told it is an icon.
  QByteArray as_icon = bytes;
  const std::optional<QPoint> hot = CursorHotSpot(bytes);
  if (hot && as_icon.size() >= 4) as_icon[2] = 1;
  QBuffer icon_buffer(&as_icon);
  icon_buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&icon_buffer, "ico");
  QImage image = reader.read();
  if (image.isNull()) {
    QImageReader any(&buffer);
    image = any.read();
  }
  if (image.isNull()) return std::nullopt;
  const QPoint spot = hot.value_or(QPoint(-1, -1));
  return QCursor(QPixmap::fromImage(image), spot.x(), spot.y());
}

}  // namespace qm::app
