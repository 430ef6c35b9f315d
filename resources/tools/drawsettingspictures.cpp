// Draws the two pictures the backup-settings warnings show beside their
// text: the phone's "iCloud Backup" switch and the computer's "Encrypt
// iPhone backup" box, each marked as the setting to switch off. The JPEGs
// in res/ are its output, committed so that a build needs no display;
// run it again after changing a drawing:
//   cmake --build build --target drawsettingspictures
//   QT_QPA_PLATFORM=offscreen build/resources/drawsettingspictures resources/res
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

const QColor kMark(220, 40, 40);
const QSize kSize(480, 240);

QFont font(int pixels, bool bold = false)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

// A red ring around what the user changes, and the word that says how.
void mark(QPainter& p, const QRectF& around, const QString& word, const QPointF& wordAt)
{
    p.setPen(QPen(kMark, 3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(around, 10, 10);
    p.setFont(font(18, true));
    p.drawText(wordAt, word);
}

// An iOS switch; on is green with the knob right, off grey with the knob left.
void drawSwitch(QPainter& p, const QRectF& r, bool on)
{
    p.setPen(on ? Qt::NoPen : QPen(QColor(215, 215, 220), 2));
    p.setBrush(on ? QColor(76, 217, 100) : Qt::white);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    const qreal d = r.height() - 4;
    const QRectF knob(on ? r.right() - d - 2 : r.left() + 2, r.top() + 2, d, d);
    p.setPen(QPen(QColor(200, 200, 205), 1));
    p.setBrush(Qt::white);
    p.drawEllipse(knob);
}

QImage iCloudBackup()
{
    QImage image(kSize, QImage::Format_RGB32);
    image.fill(QColor(239, 239, 244));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(110, 110, 115));
    p.setFont(font(14));
    p.drawText(QPointF(20, 32), QStringLiteral("Settings  >  Your name  >  iCloud"));
    p.drawText(QPointF(20, 66), QStringLiteral("BACKUP"));
    const QRectF row(0, 76, kSize.width(), 56);
    p.fillRect(row, Qt::white);
    p.setPen(QColor(200, 199, 204));
    p.drawLine(row.bottomLeft(), row.bottomRight());
    p.setPen(Qt::black);
    p.setFont(font(18));
    p.drawText(QRectF(20, row.top(), 260, row.height()), Qt::AlignVCenter, QStringLiteral("iCloud Backup"));
    // Now on; the arrow shows where it must go.
    const QRectF now(300, row.top() + 12, 52, 32);
    drawSwitch(p, now, true);
    p.setPen(QPen(kMark, 3));
    p.drawLine(QPointF(360, now.center().y()), QPointF(384, now.center().y()));
    QPainterPath head;
    head.moveTo(392, now.center().y());
    head.lineTo(382, now.center().y() - 7);
    head.lineTo(382, now.center().y() + 7);
    head.closeSubpath();
    p.fillPath(head, kMark);
    const QRectF off(400, row.top() + 12, 52, 32);
    drawSwitch(p, off, false);
    mark(p, off.adjusted(-8, -8, 8, 8), QStringLiteral("Turn off"), QPointF(388, row.bottom() + 34));
    p.setPen(QColor(110, 110, 115));
    p.setFont(font(13));
    p.drawText(QRectF(20, row.bottom() + 50, kSize.width() - 40, 50), Qt::TextWordWrap,
               QStringLiteral("With iCloud Backup off, the iPhone backs up to this computer over USB."));
    return image;
}

QImage encryptedBackup()
{
    QImage image(kSize, QImage::Format_RGB32);
    image.fill(QColor(236, 236, 236));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::black);
    p.setFont(font(16, true));
    p.drawText(QPointF(20, 34), QStringLiteral("Backups"));
    const QRectF box(20, 48, kSize.width() - 40, 150);
    p.setPen(QColor(190, 190, 190));
    p.setBrush(QColor(246, 246, 246));
    p.drawRoundedRect(box, 6, 6);
    p.setFont(font(15));
    // The chosen place of the backups.
    const QList<QPair<QString, bool>> places {{QStringLiteral("iCloud"), false},
                                              {QStringLiteral("This computer"), true}};
    for (int i = 0; i < places.size(); ++i) {
        const QRectF dot(40, 64 + i * 32, 16, 16);
        p.setPen(QPen(QColor(120, 120, 120), 1));
        p.setBrush(Qt::white);
        p.drawEllipse(dot);
        if (places[i].second) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(30, 110, 230));
            p.drawEllipse(dot.adjusted(4, 4, -4, -4));
        }
        p.setPen(Qt::black);
        p.drawText(QPointF(66, dot.bottom() - 2), places[i].first);
    }
    // The box to clear, still ticked.
    const QRectF check(64, 136, 18, 18);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 110, 230));
    p.drawRoundedRect(check, 4, 4);
    p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(68, 145), QPointF(72, 150), QPointF(79, 140)}));
    p.setPen(Qt::black);
    p.drawText(QPointF(92, check.bottom() - 2), QStringLiteral("Encrypt iPhone backup"));
    mark(p, QRectF(54, 126, 290, 38), QStringLiteral("Uncheck"), QPointF(356, 152));
    p.setPen(QColor(110, 110, 110));
    p.setFont(font(13));
    p.drawText(QPointF(64, 186), QStringLiteral("iTunes  >  Summary  >  Backups"));
    return image;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <resources/res folder>\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QList<QPair<QString, QImage>> pictures {{QStringLiteral("close_icloudbk.jpg"), iCloudBackup()},
                                                  {QStringLiteral("close_itunesbkenc.jpg"), encryptedBackup()}};
    for (const auto& [name, image] : pictures) {
        if (!image.save(out.filePath(name), "JPEG", 90)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(name)));
            return 1;
        }
    }
    return 0;
}
