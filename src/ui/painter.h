#pragma once

// The drawing vocabulary of the interface: palette colours, rectangles and rounded rectangles, lines and
// small paths, text through a shared cache of shaped layouts, the bridge glyphs and the single-line text
// field. A Painter is a cheap handle on a cairo context; one over no context draws nothing and measures
// every text as 0 wide, so code that measures outside a frame stays harmless.
#include "ui/theme.h"

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

typedef struct _cairo cairo_t;

struct Point {
    double x = 0, y = 0;
};

struct Rect {
    double x = 0, y = 0, w = 0, h = 0;
};

enum class Align { Left, Centre, Right };

// How a text is set. Colours are palette strings ("#RRGGBB"); one that does not parse shows magenta.
// The colour is a view: build the style where it is used, not from a temporary string kept for later.
// Made by size and colour and refined by the with_ calls: TextStyle(11, p.dim).with_mono().
struct TextStyle {
    double size = 12.5;
    std::string_view colour;
    bool bold = false;
    bool mono = false;
    double alpha = 1.0;
    // x is the left edge, the right edge or the centre of the text.
    Align align = Align::Left;
    // A wider text is ellipsized at its end to this width; at 0 or less nothing is drawn.
    double max_width = std::numeric_limits<double>::infinity();

    TextStyle() = default;
    // For measuring, where the colour plays no part.
    explicit TextStyle(double size_) : size(size_) {}
    TextStyle(double size_, std::string_view colour_) : size(size_), colour(colour_) {}

    TextStyle with_size(double v) const { return with(&TextStyle::size, v); }
    TextStyle with_colour(std::string_view v) const { return with(&TextStyle::colour, v); }
    TextStyle with_bold(bool v = true) const { return with(&TextStyle::bold, v); }
    TextStyle with_mono(bool v = true) const { return with(&TextStyle::mono, v); }
    TextStyle with_alpha(double v) const { return with(&TextStyle::alpha, v); }
    TextStyle with_align(Align v) const { return with(&TextStyle::align, v); }
    TextStyle with_max_width(double v) const { return with(&TextStyle::max_width, v); }

private:
    template <class T, class V> TextStyle with(T TextStyle::*member, V value) const {
        TextStyle copy = *this;
        copy.*member = value;
        return copy;
    }
};

// One colour stop of a linear gradient.
struct GradientStop {
    double offset = 0;
    Rgb colour;
    double alpha = 1.0;

    GradientStop(double offset_, const Rgb& colour_, double alpha_ = 1.0)
        : offset(offset_), colour(colour_), alpha(alpha_) {}
};

enum class LineCap { Butt, Round };
enum class LineJoin { Miter, Round };

// The pictures on the bridge buttons, drawn around a centre; `dir` (+1 or -1) turns the arrows towards the
// target pane.
enum class Glyph {
    CopyArrows,
    MoveArrow,
    PackArrow,
    Refresh,
    Plus,
    Cross,
    Bytes,
    Terminal,
    Magnifier,
    Trash
};

// Byte offsets [begin, end) into a text; empty when begin == end.
struct TextRange {
    size_t begin = 0, end = 0;
};

// The look and geometry of a single-line text field. The text is set from box.x + pad_left and may run
// until pad_right before the right edge; it scrolls so that the caret stays caret_margin inside that end.
// What is typed shows through a clip that reaches clip_slack beyond the text room on either side.
struct TextField {
    Rect box;
    double radius = 0; // 0: square corners
    std::string_view fill;
    std::string_view border;
    double border_width = 1; // the outline lies inside the box
    double pad_left = 8;
    double pad_right = 8;
    double caret_margin = 2;
    double clip_slack = 1;
    // The caret runs from this far below the top to this far above the bottom of the box.
    double caret_inset = 4;
    std::string_view caret_colour;
    TextStyle text;                  // the text; its alignment and max_width are the field's own
    TextStyle placeholder;           // shown instead of an empty text while the field is not focused
    std::string_view selection;      // behind selected text
    std::string_view selection_text; // selected text
};

// Where a text field put its text, for placing the caret from a click: the x of the text's start (after
// scrolling) and of the caret, in the same units as the box.
struct TextFieldGeometry {
    double text_x = 0;
    double caret_x = 0;
    double scroll = 0;
};

class Painter {
public:
    explicit Painter(cairo_t* cr) : m_cr(cr) {}

    cairo_t* context() const { return m_cr; }
    explicit operator bool() const { return m_cr != nullptr; }

    // Brings the shared text cache in line with `cr` (surface font options and transformation); a frame
    // calls it once its scale is set. Text drawn on another context catches up by itself.
    static void prepare_text(cairo_t* cr);

    // ---- Colour sources ----
    void set_colour(std::string_view colour, double alpha = 1.0);
    void set_colour(const Rgb& colour, double alpha = 1.0);
    void set_linear_gradient(double x0, double y0, double x1, double y1,
                             std::initializer_list<GradientStop> stops);

    // ---- Paths, filled or stroked with the current source ----
    void rect(double x, double y, double w, double h);
    // The radius is cut to half the shorter side; a negative one gives square corners.
    void rounded_rect(double x, double y, double w, double h, double r);
    void circle(double cx, double cy, double r);
    // An arc from angle a0 to a1 (radians, clockwise on screen) as a new sub-path.
    void arc(double cx, double cy, double r, double a0, double a1);
    // Open and closed runs of straight lines; each starts a new sub-path.
    void polyline(std::initializer_list<Point> points);
    void polygon(std::initializer_list<Point> points);
    void fill();
    // Fills the path by the even-odd rule: inner rectangles cut holes into outer ones.
    void fill_even_odd();
    void stroke(double line_width);

    // ---- Shapes in one call ----
    void fill_rect(double x, double y, double w, double h, std::string_view colour, double alpha = 1.0);
    void fill_rounded(double x, double y, double w, double h, double r, std::string_view colour,
                      double alpha = 1.0);
    // Strokes exactly the given outline; callers inset it by half the line width to stay inside a box.
    void stroke_rect(double x, double y, double w, double h, std::string_view colour, double line_width,
                     double alpha = 1.0);
    void stroke_rounded(double x, double y, double w, double h, double r, std::string_view colour,
                        double line_width, double alpha = 1.0);
    void line(double x0, double y0, double x1, double y1, std::string_view colour, double line_width,
              double alpha = 1.0);

    // ---- State ----
    // Restores the graphics state (source, clip, transformation, line settings) when it goes.
    class Saved {
    public:
        explicit Saved(cairo_t* cr);
        ~Saved();
        Saved(const Saved&) = delete;
        Saved& operator=(const Saved&) = delete;

    private:
        cairo_t* m_cr;
    };
    [[nodiscard]] Saved save() const { return Saved(m_cr); }
    void clip(double x, double y, double w, double h);
    void translate(double dx, double dy);
    void rotate(double radians);
    void set_line_cap(LineCap cap);
    void set_line_join(LineJoin join);

    // ---- Text, vertically centred on y ----
    double text_width(const std::string& text, const TextStyle& style) const;
    // Draws and returns the width the text takes: its own, or max_width when it was ellipsized.
    double text(const std::string& text, double x, double y, const TextStyle& style);

    void glyph(Glyph glyph, double cx, double cy, double dir, std::string_view colour, double alpha);

    // Draws the field with its text; while focused also the caret at byte `caret` and the selection. An
    // empty text shows the placeholder unless the field is focused. Offsets are clamped to the text and
    // moved back onto character starts.
    TextFieldGeometry text_field(const TextField& field, const std::string& text, size_t caret,
                                 TextRange selection, bool focused, const std::string& placeholder);

    // The byte offset of the character boundary nearest to x in a field scrolled by `scroll` (as its last
    // draw reported): where a click puts the caret. 0 without a context.
    size_t caret_offset(const TextField& field, const std::string& text, double scroll, double x) const;

private:
    cairo_t* m_cr;
};
