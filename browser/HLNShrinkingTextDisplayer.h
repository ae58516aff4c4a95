#pragma once

#include <QFont>
#include <QSizeF>
#include <QString>
#include <QWidget>
#include <optional>

// Shows one short text, centred, squeezed along x only when it is too wide
// for the widget, down to half its natural width; the font size and the
// line height never change. Text that needs more than twice the width is
// cut off at the edge of the doubled width.
class HLNShrinkingTextDisplayer : public QWidget {
    Q_OBJECT
public:
    explicit HLNShrinkingTextDisplayer(QWidget* parent = nullptr);

    // Setting the text already shown does nothing.
    void setStringValue(const QString& text);
    QString stringValue() const { return _string; }
    // Setting the font already held does nothing.
    void setFont(const QFont& font);
    // The font set with setFont; empty when none was set (the default font
    // is drawn then).
    std::optional<QFont> font() const { return _baseFont; }
    // The font the text is drawn in.
    QFont displayFont() const;
    // The system message font at 11 points.
    static QFont defaultFont();

    // The width of the coordinate space the text is laid out in; the
    // drawing is scaled along x by width() / boundsWidth().
    qreal boundsWidth() const { return _boundsWidth; }

    // The fitting: the smallest whole-point width between the frame width W
    // and 2W at which the whole text lays out (wrapping at word boundaries)
    // within the frame's height, to within one point; W when it fits as it
    // is or is empty; exactly 2W when even that is too narrow. Height is
    // always the frame's.
    static QSizeF bestSizeForText(const QString& text, const QFont& font, QSizeF frame);
    // True when the whole text lays out in a box of that size.
    static bool textFits(const QString& text, const QFont& font, QSizeF box);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void _resetBounds();

    std::optional<QFont> _baseFont;
    QString _string;
    qreal _boundsWidth = 0;
};
