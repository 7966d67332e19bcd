#pragma once
// The process-wide list of skin pictures the picture buttons draw from. Several buttons cut their
// images out of one shared picture, so each picture is loaded once and addressed by a stable index.

#include <QImage>
#include <QRect>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class QPainter;

namespace nimbrel {

class SkinPictureStore {
public:
    static SkinPictureStore& instance();

    // Index of the picture named exactly `name` (case-sensitive, byte for byte). An unknown name is
    // loaded from that file, relative to the current folder, and appended even when loading fails, so
    // the caller always gets an index; such an index simply draws nothing.
    int findOrLoad(const std::string& name);

    // Copies `source` of the picture to (0, 0) of the painter, same size, replacing what is there.
    // Draws nothing for an index out of range or a picture that failed to load.
    void draw(QPainter& painter, int index, const QRect& source) const;

    bool isLoaded(int index) const;
    // Size of a loaded picture; empty for an index that draws nothing.
    QSize pictureSize(int index) const;
    std::size_t count() const;

    SkinPictureStore(const SkinPictureStore&) = delete;
    SkinPictureStore& operator=(const SkinPictureStore&) = delete;

private:
    SkinPictureStore() = default;
    const QImage* pictureAt(int index) const;

    mutable std::mutex lock_;
    // Entries are only ever appended, so an index stays valid until the process ends.
    std::vector<std::pair<std::string, QImage>> pictures_;
};

}  // namespace nimbrel
