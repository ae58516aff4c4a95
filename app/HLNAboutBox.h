#pragma once

#include <QString>

class QWidget;

// The Help menu's "About Hollin": version, licence and what Hollin is.
class HLNAboutBox {
public:
    static QString title();
    static QString text();
    // Modeless; deletes itself when closed.
    static void show(QWidget* parent);
};
