#include "ui/HUDTuning.h"

#include <QSettings>
#include <algorithm>
#include <cmath>
#include <list>
#include <variant>

#include "core/Config.h"
#include "core/Log.h"
#include "core/MainThread.h"

QString rawValue(PillContent content) {
    return content == PillContent::waveform ? QStringLiteral("waveform")
                                            : QStringLiteral("transcript");
}

namespace {

using Field = std::variant<double HUDTuning::*, bool HUDTuning::*, PillContent HUDTuning::*>;
struct Entry {
    const char* name;
    Field field;
};

#define VM_FIELD(n)       \
    Entry {               \
#n, &HUDTuning::n \
    }
const std::vector<Entry>& table() {
    static const std::vector<Entry> t = {
        VM_FIELD(content),
        VM_FIELD(width),
        VM_FIELD(height),
        VM_FIELD(capsule),
        VM_FIELD(cornerRadius),
        VM_FIELD(bottomOffset),
        VM_FIELD(iconSize),
        VM_FIELD(fontSize),
        VM_FIELD(variant),
        VM_FIELD(tintOpacity),
        VM_FIELD(blurRadius),
        VM_FIELD(distortAmount),
        VM_FIELD(refractAmount),
        VM_FIELD(refractHeight),
        VM_FIELD(aberration),
        VM_FIELD(lensing),
        VM_FIELD(scrim),
        VM_FIELD(subdued),
        VM_FIELD(interaction),
        VM_FIELD(adaptive),
        VM_FIELD(shadowOpacity),
        VM_FIELD(shadowRadius),
        VM_FIELD(shadowOffsetY),
        VM_FIELD(edgeHighlight),
        VM_FIELD(textDark),
        VM_FIELD(pendingAlpha),
        VM_FIELD(partialAlpha),
        VM_FIELD(textShadow),
        VM_FIELD(barPillWidth),
        VM_FIELD(barCount),
        VM_FIELD(barWidth),
        VM_FIELD(barGap),
        VM_FIELD(barSpeed),
        VM_FIELD(barFloor),
        VM_FIELD(barRange),
        VM_FIELD(learnedWordSize),
        VM_FIELD(learnedWordWeight),
        VM_FIELD(learnedTextWeight),
        VM_FIELD(learnedTextAlpha),
        VM_FIELD(learnedCaptionSize),
        VM_FIELD(learnedCaptionAlpha),
        VM_FIELD(learnedSepAlpha),
        VM_FIELD(learnedLineGap),
        VM_FIELD(learnedCaptionGap),
        VM_FIELD(learnedPadX),
        VM_FIELD(learnedPadY),
        VM_FIELD(learnedRadius),
        VM_FIELD(learnedOwnGlass),
        VM_FIELD(learnedVariant),
        VM_FIELD(learnedTintOpacity),
        VM_FIELD(learnedBlurRadius),
        VM_FIELD(learnedDistortAmount),
        VM_FIELD(learnedRefractAmount),
        VM_FIELD(learnedRefractHeight),
        VM_FIELD(learnedAberration),
        VM_FIELD(learnedShadowOpacity),
        VM_FIELD(learnedShadowRadius),
        VM_FIELD(learnedShadowOffsetY),
        VM_FIELD(learnedEdgeHighlight),
        VM_FIELD(learnedTextDark),
        VM_FIELD(learnedTextShadow),
    };
    return t;
}
#undef VM_FIELD

const Entry* find(const QString& name) {
    for (const Entry& e : table())
        if (name == QLatin1String(e.name)) return &e;
    return nullptr;
}

QString key(const char* name) {
    return QStringLiteral("hud.") + QLatin1String(name);
}

// Keeps a value inside what the drawing can use, with one log line when it had to.
void keepWithin(double& v, double lo, double hi, const char* name) {
    if (v >= lo && v <= hi) return;
    const double fixed = std::clamp(v, lo, hi);
    Log::write(QStringLiteral("HUD: tuning \"hud.%1\" is %2, using %3")
                   .arg(QLatin1String(name))
                   .arg(v)
                   .arg(fixed));
    v = fixed;
}

std::list<std::shared_ptr<std::function<void()>>>& subscribers() {
    static std::list<std::shared_ptr<std::function<void()>>> s;
    return s;
}

void notify() {
    MainThread::post([] {
        // Copy first: a subscriber may unsubscribe while being told.
        std::vector<std::shared_ptr<std::function<void()>>> now(subscribers().begin(),
                                                                subscribers().end());
        for (const auto& fn : now)
            if (fn && *fn) (*fn)();
    });
}

}  // namespace

int HUDTuning::bars() const {
    return static_cast<int>(std::lround(std::clamp(barCount, 1.0, 64.0)));
}

HUDTuning HUDTuning::load() {
    HUDTuning t;
    for (const Entry& e : table()) {
        std::visit(
            [&](auto member) {
                using T = std::remove_cvref_t<decltype(t.*member)>;
                if constexpr (std::is_same_v<T, double>) {
                    t.*member = Config::doubleValue(key(e.name), t.*member);
                } else if constexpr (std::is_same_v<T, bool>) {
                    t.*member = Config::boolValue(key(e.name), t.*member);
                } else {
                    const QString raw = Config::stringValue(key(e.name), rawValue(t.*member));
                    if (raw == QLatin1String("waveform")) {
                        t.*member = PillContent::waveform;
                    } else if (raw == QLatin1String("transcript")) {
                        t.*member = PillContent::transcript;
                    } else {
                        Log::write(QStringLiteral(
                                       "HUD: tuning \"hud.content\" is \"%1\", using transcript")
                                       .arg(raw));
                    }
                }
            },
            e.field);
    }
    // Values the layout divides by or draws with must stay sane.
    keepWithin(t.width, 40, 2000, "width");
    keepWithin(t.barPillWidth, 40, 2000, "barPillWidth");
    keepWithin(t.height, 16, 150, "height");
    keepWithin(t.iconSize, 0, 150, "iconSize");
    keepWithin(t.fontSize, 6, 72, "fontSize");
    keepWithin(t.barRange, 1, 120, "barRange");
    keepWithin(t.barFloor, -160, 0, "barFloor");
    keepWithin(t.barWidth, 0.5, 40, "barWidth");
    keepWithin(t.barGap, 0, 40, "barGap");
    keepWithin(t.barSpeed, 0, 20, "barSpeed");
    keepWithin(t.barCount, 1, 64, "barCount");
    keepWithin(t.shadowRadius, 0, 40, "shadowRadius");
    keepWithin(t.learnedShadowRadius, 0, 40, "learnedShadowRadius");
    keepWithin(t.shadowOffsetY, -20, 20, "shadowOffsetY");
    keepWithin(t.learnedShadowOffsetY, -20, 20, "learnedShadowOffsetY");
    keepWithin(t.learnedPadX, 0, 100, "learnedPadX");
    keepWithin(t.learnedPadY, 0, 60, "learnedPadY");
    keepWithin(t.learnedWordSize, 6, 72, "learnedWordSize");
    keepWithin(t.learnedCaptionSize, 6, 72, "learnedCaptionSize");
    return t;
}

void HUDTuning::save() const {
    {
        const auto s = Config::d();
        for (const Entry& e : table()) {
            std::visit(
                [&](auto member) {
                    using T = std::remove_cvref_t<decltype(this->*member)>;
                    if constexpr (std::is_same_v<T, PillContent>)
                        s->setValue(key(e.name), rawValue(this->*member));
                    else
                        s->setValue(key(e.name), this->*member);
                },
                e.field);
        }
    }
    notify();
}

bool HUDTuning::set(const QString& name, const QVariant& value) {
    const Entry* e = find(name);
    if (!e) {
        Log::write(QStringLiteral("HUD: no tuning value named \"%1\"").arg(name));
        return false;
    }
    Config::d()->setValue(key(e->name), value);
    notify();
    return true;
}

QStringList HUDTuning::names() {
    QStringList out;
    for (const Entry& e : table()) out << QLatin1String(e.name);
    return out;
}

QVariant HUDTuning::value(const QString& name) const {
    const Entry* e = find(name);
    if (!e) return {};
    return std::visit(
        [&](auto member) -> QVariant {
            using T = std::remove_cvref_t<decltype(this->*member)>;
            if constexpr (std::is_same_v<T, PillContent>)
                return rawValue(this->*member);
            else
                return QVariant(this->*member);
        },
        e->field);
}

HUDTuning::Subscription HUDTuning::subscribe(std::function<void()> onChange) {
    auto fn = std::make_shared<std::function<void()>>(std::move(onChange));
    subscribers().push_back(fn);
    // The handle removes the entry when the last copy goes.
    return Subscription(nullptr, [weak = std::weak_ptr<std::function<void()>>(fn)](void*) {
        if (auto f = weak.lock()) subscribers().remove(f);
    });
}
