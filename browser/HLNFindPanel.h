#pragma once

#include "model/HLNFinder.h"

#include <QWidget>
#include <functional>
#include <memory>
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
// sized, after deletions).
//
// A search walks the tree on a thread of its own, one at a time: a new one
// stops the one before. Matches fill the list as they are found; the
// largest files and the kinds come when the walk ends. Everything else is
// the main thread's.
class HLNFindPanel : public QWidget {
    Q_OBJECT
public:
    enum class Choice { Matches, LargestFiles, CleanupCandidates, Kinds, Gone };
    static constexpr int kLargestFiles = 100;
    // Results shown at most: a search that matches more says how many.
    static constexpr int kShownResults = 2000;

    HLNFindPanel(Ref<HLNFile> root, QWidget* parent);
    // Stops the search under way and waits for its thread.
    ~HLNFindPanel() override;

    // Searches again now: starts the walk and returns.
    void search();
    // A search's walk is under way; searched() is emitted when it ends.
    bool isSearching() const { return bool(_walk); }
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

    // Gone: folders of an earlier scan that the tree no longer has, with
    // what they weighed then. They have no node: the commands pass them by.
    struct GoneFolder {
        std::string relativePath;
        uint64_t bytes = 0;
    };
    using GoneSource = std::function<std::vector<GoneFolder>()>;
    // Offers the Gone choice while there is a source (a comparison is on).
    void setGoneSource(GoneSource source);

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

signals:
    // A search's results are all shown.
    void searched();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Walk;
    // Stops the walk under way, if any, and waits for its thread.
    void _stopWalk();
    // On the main thread: entries of the walk numbered generation, the
    // last of them when done.
    void _addFound(uint64_t generation, std::vector<HLNFinder::Entry> found, bool done);
    void _addRows(const std::vector<HLNFinder::Entry>& found);
    std::unique_ptr<Walk> _walk;
    // This panel while it lives, for calls queued to the main thread (read
    // and cleared there only).
    std::shared_ptr<HLNFindPanel*> _alive = std::make_shared<HLNFindPanel*>(this);
    uint64_t _generation = 0; // of the walk whose results the list takes
    size_t _foundSoFar = 0;
    HLNFile::Figure _figure = HLNFile::Figure::diskUsage; // of the walk's sizes
    std::vector<const HLNFile*> _keepSelected;            // chosen before the walk

    bool _actsOnResults = false;
    HLNFinder::Criteria _criteria() const;
    // The Kinds choice: bytes, items and share of each kind, its extensions below.
    void _showKinds(const HLNFinder::Census& census);
    void _highlightChosen();
    void _showGone();
    GoneSource _goneSource;
    bool _showingGone = false; // the rows are gone folders, not entries

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
