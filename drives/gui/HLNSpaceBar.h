#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

// A horizontal bar split into parts in proportion to their bytes, each in
// its own colour, left to right; hovering a part names it. Main thread only.
class HLNSpaceBar : public QWidget {
    Q_OBJECT
public:
    struct Part {
        QString name;
        uint64_t bytes = 0;
        QColor color;
    };

    explicit HLNSpaceBar(QWidget* parent = nullptr);
    void setParts(std::vector<Part> parts);
    const std::vector<Part>& parts() const { return _parts; }
    // The part under x (in widget coordinates), or -1.
    int partAt(int x) const;
    // Each part's pixel span across width, every part at least one pixel
    // wide when it has any bytes, the spans covering the width whole.
    static std::vector<std::pair<int, int>> spans(const std::vector<Part>& parts, int width);

    QSize sizeHint() const override { return {400, 22}; }
    QSize minimumSizeHint() const override { return {80, 14}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    std::vector<Part> _parts;
};
