// render_icon <svg> <png> <size>: draws the application icon into a square
// PNG of <size> pixels (the hicolor theme's fixed sizes are made from the
// one drawing at build time).
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: render_icon <svg> <png> <size>\n", stderr);
        return 2;
    }
    const int size = std::atoi(argv[3]);
    if (size < 1 || size > 4096) {
        std::fprintf(stderr, "render_icon: bad size %s\n", argv[3]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);

    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "render_icon: cannot read %s\n", argv[1]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        svg.render(&painter, QRectF(0, 0, size, size));
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "render_icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
