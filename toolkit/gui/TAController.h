#pragma once

#include <QApplication>
#include <string>

// Receives the exceptions that escape event handling.
class TAControllerDelegate {
public:
    virtual void handleRunException(const std::string& reason) = 0;

protected:
    ~TAControllerDelegate() = default;
};

// The application object. Every event passes through notify(); an exception
// that a handler lets escape is caught there and handed to the delegate's
// handleRunException (or to this object's own override), and the event loop
// goes on. Main thread only.
class TAController : public QApplication {
    Q_OBJECT
public:
    TAController(int& argc, char** argv);

    static TAController* sharedApplication(); // null when the application is another class

    // Not owned; must outlive its registration.
    void setDelegate(TAControllerDelegate* delegate) { _delegate = delegate; }
    TAControllerDelegate* delegate() const { return _delegate; }

    bool notify(QObject* receiver, QEvent* event) override;

    // Passes the reason on to the delegate; without one, logs it.
    virtual void handleRunException(const std::string& reason);
    // The text reported for an exception in flight (TFException's reason,
    // what() of any standard exception, a fixed text otherwise).
    static std::string reasonForException(std::exception_ptr exception);

private:
    TAControllerDelegate* _delegate = nullptr;
};
