#include "game/picture.hpp"

#include <algorithm>

namespace varno {

namespace {

// A face-up card is six characters wide ("[ AN ]") and the other cells eight, so the
// columns do not line up: that is the fixed format, not an oversight.
constexpr std::string_view HEADER = "   1   2   3   4\n";
constexpr std::string_view FACE_DOWN = "[XXXXXX]";
constexpr std::string_view EMPTY = "[  --  ]";

class PictureWriter {
  public:
    explicit PictureWriter(Picture& picture) : picture_(picture) {}

    void put(std::string_view text) {
        VARNO_CHECK(picture_.size + text.size() <= Picture::MAX_SIZE, "picture overflow");
        std::copy(text.begin(), text.end(), picture_.chars.begin() + picture_.size);
        picture_.size += text.size();
    }
    void put(char c) { put(std::string_view(&c, 1)); }

  private:
    Picture& picture_;
};

}  // namespace

Picture render(PackedGrid grid) {
    Picture picture;
    PictureWriter out(picture);
    out.put(HEADER);
    for (unsigned row = 0; row < ROWS; ++row) {
        out.put(static_cast<char>('A' + row));
        out.put(' ');
        for (unsigned col = 0; col < COLS; ++col) {
            const unsigned cell = row * COLS + col;
            if (!(grid.present >> cell & 1)) {
                out.put(EMPTY);
            } else if (!(grid.face_up >> cell & 1)) {
                out.put(FACE_DOWN);
            } else {
                const char face[] = {'[',
                                     ' ',
                                     (grid.owned_b >> cell & 1) ? 'B' : 'A',
                                     (grid.figures >> cell & 1) ? 'F' : 'N',
                                     ' ',
                                     ']'};
                out.put(std::string_view(face, sizeof face));
            }
        }
        out.put('\n');
    }
    return picture;
}

}  // namespace varno
