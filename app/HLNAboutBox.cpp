#include "app/HLNAboutBox.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>

QString HLNAboutBox::title() {
    return QCoreApplication::translate("Hollin", "About Hollin");
}

QString HLNAboutBox::text() {
    return QCoreApplication::translate("Hollin",
                                       "<h3>Hollin %1</h3>"
                                       "<p>Shows where the space on your disks has gone.</p>"
                                       "<p>Free software under the GNU General Public License, "
                                       "version 3 or later.</p>")
        .arg(QString::fromLatin1(HOLLIN_VERSION));
}

void HLNAboutBox::show(QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, title(), text(), QMessageBox::Ok, parent);
    box->setObjectName("aboutHollin");
    box->setTextFormat(Qt::RichText);
    box->setIconPixmap(QGuiApplication::windowIcon().pixmap(64, 64));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}
