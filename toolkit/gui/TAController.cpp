#include "toolkit/gui/TAController.h"

#include "toolkit/TFException.h"

#include <QtGlobal>
#include <exception>

TAController::TAController(int& argc, char** argv) : QApplication(argc, argv) {}

TAController* TAController::sharedApplication() {
    return qobject_cast<TAController*>(QCoreApplication::instance());
}

bool TAController::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        std::string reason = reasonForException(std::current_exception());
        // A failure inside the report must not end the program either.
        try {
            handleRunException(reason);
        } catch (...) {
            qWarning("%s", reason.c_str());
        }
    }
    return false;
}

void TAController::handleRunException(const std::string& reason) {
    if (_delegate)
        _delegate->handleRunException(reason);
    else
        qWarning("%s", reason.c_str());
}

std::string TAController::reasonForException(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const TFException& e) {
        return e.reason();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unknown exception occurred.";
    }
}
