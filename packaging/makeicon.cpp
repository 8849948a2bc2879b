// makeicon: renders the program's SVG icon into square PNG files for the icon theme.
// Usage: makeicon <icon.svg> <size> <out.png>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("Usage: makeicon <icon.svg> <size> <out.png>\n", stderr);
        return 2;
    }
    // Rendering needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const int size = std::atoi(argv[2]);
    constexpr int kLargestSize = 1024;
    if (size <= 0 || size > kLargestSize) {
        std::fprintf(stderr, "makeicon: size %s is not between 1 and %d\n", argv[2], kLargestSize);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "makeicon: cannot read the icon %s\n", argv[1]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "makeicon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
