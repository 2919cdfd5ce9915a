#pragma once
#include <memory>

#include "core/CommandLine.h"

class DictionaryModel;
class HistoryStore;
class MainModel;
class MainWindow;
class UpdateCardModel;

// "--preview-window": the main window over sample states, nothing of the dictation machinery.
namespace WindowPreview {

// Everything one preview window needs, kept together.
struct Scene {
    std::unique_ptr<DictionaryModel> dictionary;
    std::unique_ptr<HistoryStore> history;
    std::unique_ptr<MainModel> model;
    std::unique_ptr<UpdateCardModel> card;
    std::unique_ptr<MainWindow> window;
    Scene();
    ~Scene();
};

// The sample state the flags ask for: account, plan, setup and history; the dictionary is the
// user's own. The window is made but not shown.
std::unique_ptr<Scene> build(const LaunchOptions& options);

// Shows the window until it is closed; the QApplication must exist. Returns the exit status.
int run(const LaunchOptions& options);

}  // namespace WindowPreview
