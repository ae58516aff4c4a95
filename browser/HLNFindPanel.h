#pragma once

#include "model/HLNFinder.h"

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTreeWidget;

// A browser window's Find bar and its list: the entries of the window's
// tree that match a name (a part of it, or a pattern with *, ? and [...]),
// sizes, dates, a kind, files or folders; or the largest files; or the
// folders that hold caches or build output. The list is searched again on
// every change of the bar and when the window asks (while the tree is
// sized, after deletions). Main thread only.
class HLNFindPanel : public QWidget {
    Q_OBJECT
public:
    enum class Choice { Matches, LargestFiles, CleanupCandidates, Kinds };
    static constexpr int kLargestFiles = 100;
    // Results shown at most: a search that matches more says how many.
    static constexpr int kShownResults = 2000;

    HLNFindPanel(Ref<HLNFile> root, QWidget* parent);

    // Searches again now.
    void search();
    // The nodes of the selected rows.
    std::vector<Ref<HLNFile>> selectedResults() const;

    // Whether the window's commands act on the rows chosen here: several
    // rows, chosen last (a click in the columns ends it).
    bool actsOnResults() const { return _actsOnResults; }
    void stopActingOnResults() { _actsOnResults = false; }
    // A row was chosen (selection), Delete was pressed, Esc was pressed;
    // onChooseSeveral: several rows were.
    std::function<void(const Ref<HLNFile>&)> onChoose;
    std::function<void()> onChooseSeveral;
    std::function<void()> onDelete;
    std::function<void()> onClose;
    // Kinds: a kind's row (extension none) or an extension's row was chosen;
    // kind KindCount and no extension when none is.
    std::function<void(uint8_t kind, std::optional<std::string> extension)> onHighlight;

    QLineEdit* nameField() const { return _name; }
    QComboBox* choiceBox() const { return _choice; }
    QComboBox* kindBox() const { return _kind; }
    QLineEdit* atLeastField() const { return _atLeast; }
    QLineEdit* atMostField() const { return _atMost; }
    QSpinBox* olderField() const { return _older; }
    QSpinBox* newerField() const { return _newer; }
    QComboBox* typeBox() const { return _type; }
    QTreeWidget* results() const { return _results; }
    QLabel* countField() const { return _count; }

    // "100M", "1.5 GB", "4096": bytes; false when the text is none of these.
    static bool parseSize(const QString& text, uint64_t& bytes);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool _actsOnResults = false;
    HLNFinder::Criteria _criteria() const;
    // The Kinds choice: bytes, items and share of each kind, its extensions below.
    void _showKinds();
    void _highlightChosen();

    Ref<HLNFile> _root;
    std::vector<Ref<HLNFile>> _shown; // by row's index in the data role
    bool _showingKinds = false;       // the rows are kinds, not entries
    QLineEdit* _name;
    QComboBox* _choice;
    QComboBox* _kind;
    QLineEdit* _atLeast;
    QLineEdit* _atMost;
    QSpinBox* _older;
    QSpinBox* _newer;
    QComboBox* _type;
    QTreeWidget* _results;
    QLabel* _count;
};
