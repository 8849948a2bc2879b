// Draws the 16 x 16 glyph images of the file browser into PNG files. The images are
// committed beside this program; run it again only to change them:
//   makeglyphs <output folder>
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cstdio>

namespace {

constexpr int Size = 16;

const QColor Outline(120, 88, 20);
const QColor FolderBack(230, 180, 60);
const QColor FolderFront(252, 214, 104);
const QColor FolderFrontLit(255, 236, 160);

QImage blank() {
    QImage image(Size, Size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

void setup(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.translate(0.5, 0.5); // pixel-aligned one-pixel lines
}

// Back of a folder with its tab.
void folderBack(QPainter& p) {
    QPainterPath back;
    back.moveTo(1, 3);
    back.lineTo(6, 3);
    back.lineTo(7, 4);
    back.lineTo(14, 4);
    back.lineTo(14, 13);
    back.lineTo(1, 13);
    back.closeSubpath();
    p.setPen(QPen(Outline, 1));
    p.setBrush(FolderBack);
    p.drawPath(back);
}

QImage closedFolder() {
    QImage image = blank();
    QPainter p(&image);
    setup(p);
    folderBack(p);
    p.setBrush(FolderFront);
    p.drawRect(QRectF(1, 6, 13, 7));
    return image;
}

// An open folder: the front flap falls forward; lit marks the folder shown now.
QImage openFolder(bool current) {
    QImage image = blank();
    QPainter p(&image);
    setup(p);
    folderBack(p);
    if (current) {
        // A sheet standing in the folder marks the one whose files are listed.
        p.setPen(QPen(QColor(110, 110, 110), 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4, 2, 8, 8));
        p.setPen(QPen(QColor(70, 110, 200), 1));
        p.drawLine(QPointF(6, 4), QPointF(10, 4));
        p.drawLine(QPointF(6, 6), QPointF(10, 6));
    }
    QPolygonF front;
    front << QPointF(3, 7) << QPointF(15, 7) << QPointF(13, 13) << QPointF(1, 13);
    p.setPen(QPen(Outline, 1));
    p.setBrush(current ? FolderFrontLit : FolderFront);
    p.drawPolygon(front);
    return image;
}

QImage unknownFile() {
    QImage image = blank();
    QPainter p(&image);
    setup(p);
    QPolygonF page;
    page << QPointF(3, 1) << QPointF(10, 1) << QPointF(13, 4) << QPointF(13, 14) << QPointF(3, 14);
    p.setPen(QPen(QColor(100, 100, 100), 1));
    p.setBrush(Qt::white);
    p.drawPolygon(page);
    QPolygonF corner;
    corner << QPointF(10, 1) << QPointF(10, 4) << QPointF(13, 4);
    p.setBrush(QColor(215, 215, 215));
    p.drawPolygon(corner);
    p.setPen(QPen(QColor(170, 170, 170), 1));
    for (int y = 6; y <= 12; y += 2)
        p.drawLine(QPointF(5, y), QPointF(11, y));
    return image;
}

// A small program window: title bar and body.
QImage executable() {
    QImage image = blank();
    QPainter p(&image);
    setup(p);
    p.setPen(QPen(QColor(40, 60, 110), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1, 2, 13, 11));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(50, 90, 190));
    p.drawRect(QRectF(1.5, 2.5, 12.5, 3));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(11, 3, 2, 2));
    p.setBrush(QColor(200, 210, 230));
    p.drawRect(QRectF(3, 7.5, 9, 4));
    return image;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: makeglyphs <output folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const struct {
        const char* name;
        QImage image;
    } glyphs[] = {
        {"CLOSEDFOLDER", closedFolder()},    {"OPENFOLDER", openFolder(false)},
        {"CURRENTFOLDER", openFolder(true)}, {"UNKNOWNFILE", unknownFile()},
        {"EXECUTABLE", executable()},
    };
    for (const auto& glyph : glyphs) {
        const QString path = folder + "/" + glyph.name + ".png";
        if (!glyph.image.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
