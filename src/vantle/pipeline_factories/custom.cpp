// vantle.pipeline_factories.custom: CustomPipelineFactory, a started pipeline from a user's
// launch string with a "{url}" placeholder, a `main_sink` and an optional `buffer_src`.
#include "factory.h"

using namespace bridge;
using namespace vantle::factories;

namespace {

// ----- the URL in the launch string -----
//
// The URL is pasted into the user's launch string, where white space, quotes and
// backslashes (and '!' between elements) have a meaning: pasted as it stands, a URL holding
// them could end its value and add or change elements. An ordinary URL holds none of them
// and is pasted unchanged. Any other is written so that it stays one value, as far as the
// places of its placeholders allow:
// - every placeholder inside a double-quoted value (location="{url}"): the URL with '\' and
//   '"' escaped;
// - every placeholder a whole unquoted value (location={url}): the same, in double quotes;
// - anything else (placeholders of both kinds, a placeholder that is only part of a value
//   or sits where the launch string's quoting cannot be followed, a NUL, a URL that starts
//   with '"', which the property parser would unquote once more): refused.

// Characters with a meaning in launch strings. Other control characters, '=', ',', ';',
// brackets and braces are taken literally inside a value, quoted or not.
bool has_launch_meaning(Py_UCS4 ch) {
    switch (ch) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case '"':
        case '\'':
        case '!':
        case '\\':
        case '\0':
            return true;
        default:
            return false;
    }
}

bool is_space(Py_UCS4 ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// Follows a launch string far enough to tell where a pasted value would land. It is
// deliberately narrow: quoting that it does not know (single quotes, quotes inside a word)
// loses it, and a lost lexer places no URL.
class LaunchLexer {
public:
    enum class Place { Between, Word, AfterName, ValueStart, Value, Quoted, Lost };

    void feed(Handle literal) {
        const Py_ssize_t length = PyUnicode_GetLength(literal.ptr());
        if (length < 0) throw_pending();
        for (Py_ssize_t i = 0; i < length && place_ != Place::Lost; ++i) {
            Py_UCS4 ch = PyUnicode_ReadChar(literal.ptr(), i);
            if (ch == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw_pending();
            step(ch);
        }
    }
    Place place() const { return escaped_ ? Place::Lost : place_; }
    // After a URL placed as a whole quoted value.
    void end_value() { place_ = Place::Between; }

private:
    void step(Py_UCS4 ch) {
        if (escaped_) {
            escaped_ = false;
            if (place_ == Place::Between || place_ == Place::AfterName) place_ = Place::Word;
            if (place_ == Place::ValueStart) place_ = Place::Value;
            return;
        }
        switch (place_) {
            case Place::Quoted:
                if (ch == '\\') escaped_ = true;
                if (ch == '"') place_ = Place::Between;
                return;
            case Place::AfterName:
                if (is_space(ch)) return;
                if (ch == '=') {
                    place_ = Place::ValueStart;
                    return;
                }
                place_ = Place::Between;
                return step(ch);
            case Place::Between:
                if (is_space(ch) || ch == '!') return;
                place_ = Place::Word;
                return unquoted(ch);
            case Place::Word:
                if (is_space(ch))
                    place_ = Place::AfterName;
                else if (ch == '!')
                    place_ = Place::Between;
                else if (ch == '=')
                    place_ = Place::ValueStart;
                else
                    unquoted(ch);
                return;
            case Place::ValueStart:
                if (is_space(ch)) return;
                if (ch == '"') {
                    place_ = Place::Quoted;
                    return;
                }
                place_ = Place::Value;
                return unquoted(ch);
            case Place::Value:
                if (is_space(ch))
                    place_ = Place::Between;
                else
                    unquoted(ch);
                return;
            case Place::Lost:
                return;
        }
    }
    // A character inside an unquoted word or value.
    void unquoted(Py_UCS4 ch) {
        if (ch == '\\') escaped_ = true;
        if (ch == '"' || ch == '\'') place_ = Place::Lost;
    }

    Place place_ = Place::Between;
    bool escaped_ = false;
};

// The first character of `url` with a meaning in launch strings, as an index, or -1.
Py_ssize_t first_launch_character(Handle url) {
    const Py_ssize_t length = PyUnicode_GetLength(url.ptr());
    if (length < 0) throw_pending();
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 ch = PyUnicode_ReadChar(url.ptr(), i);
        if (ch == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw_pending();
        if (has_launch_meaning(ch)) return i;
    }
    return -1;
}

// The value that replaces "{url}" in `pipeline_str`: `url` itself when it is ordinary,
// else the URL escaped (and quoted) for where its placeholders stand, or
// InvalidCustomPipelineError.
Object launch_value(Call& c, Handle pipeline_str, Handle url) {
    if (!PyUnicode_Check(url.ptr())) return Object::borrow(url);
    const Py_ssize_t found = first_launch_character(url);
    if (found < 0) return Object::borrow(url);

    // A launch string that str.format refuses fails with str.format's own error, as it
    // would with an ordinary URL.
    pipeline_str.method("format", {}, {{"url", url}});

    Object error_class = c.global("InvalidCustomPipelineError");
    Object character =
        Object::steal(PyObject_Repr(Object::steal(PyUnicode_Substring(url.ptr(), found, found + 1)).ptr()));
    // Placeholders, and the literal text between them, as str.format reads them.
    Object parts = Object::steal(PySequence_List(import("_string").method("formatter_parser", {pipeline_str}).ptr()));
    const Py_ssize_t count = parts.length();
    LaunchLexer lexer;
    bool quoted = false, whole = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Object part = parts.item(i);
        lexer.feed(part.item(0));
        Object field = part.item(1), spec = part.item(2), conversion = part.item(3);
        if (field.is_none() || !field.equals(text("url"))) continue;  // str.format judges the others
        // The text right after the placeholder: the next literal, empty before another field.
        Object next = i + 1 < count ? parts.item(i + 1).item(0) : text("");
        Py_UCS4 follower = next.length() > 0 ? PyUnicode_ReadChar(next.ptr(), 0) : 0;
        const bool plain = spec.length() == 0 && conversion.is_none();
        LaunchLexer::Place place = lexer.place();
        if (plain && place == LaunchLexer::Place::Quoted) {
            quoted = true;
        } else if (plain && place == LaunchLexer::Place::ValueStart &&
                   (i + 1 == count || is_space(follower) || follower == '!')) {
            whole = true;
            lexer.end_value();
        } else {
            raise(error_class, fstr({"URL contains ", character,
                                     " (a character with a meaning in launch strings) in a '{url}' placeholder that "
                                     "is neither a whole property value nor inside double quotes"}));
        }
    }
    if (quoted && whole) {
        raise(error_class, fstr({"URL contains ", character,
                                 " (a character with a meaning in launch strings) and the pipeline has '{url}' "
                                 "placeholders both inside and outside double quotes"}));
    }
    if (!quoted && !whole) return Object::borrow(url);
    // C strings end at a NUL: the rest of the launch string would be cut off.
    if (contains(url, Object::steal(PyUnicode_FromOrdinal(0)))) {
        raise(error_class, "URL contains '\\x00', which a launch string cannot carry");
    }
    if (PyUnicode_ReadChar(url.ptr(), 0) == '"') {
        raise(error_class, "URL starts with '\"', which launch strings read as the start of a quoted value");
    }
    Object escaped = url.method("replace", {text("\\"), text("\\\\")}).method("replace", {text("\""), text("\\\"")});
    if (quoted) return escaped;
    return concat(concat(text("\""), escaped), text("\""));
}

Object factory_init(Call& c) {
    Handle self = c.arg(0), pipeline_str = c.arg(1);
    init_base(c, self, c.arg(2), c.arg(4), c.arg(5));
    if (!contains(pipeline_str, text("{url}"))) {
        raise(c.global("InvalidCustomPipelineError"),
              fstr({"Invalid pipeline format: '", pipeline_str,
                    "'. Pipelines must contain a '{url}' portion to be filled by the source URL."}));
    }
    Object url = launch_value(c, pipeline_str, self.attr("_url"));
    self.set_attr("_pipeline_str", pipeline_str.method("format", {}, {{"url", url}}));
    self.set_attr("_pipeline_watcher", c.arg(3));
    return none();
}

Object factory_build(Call& c) {
    Handle self = c.arg(0);
    Object gst = c.global("Gst");
    Object pipeline_str = self.attr("_pipeline_str");
    Object pipeline = self.method("_new_pipeline", {pipeline_str});

    Object appsink = pipeline.method("get_by_name", {text("main_sink")});
    if (appsink.is_none()) {
        // The launch string holds the URL: its password is not repeated in the message.
        raise(c.global("InvalidCustomPipelineError"),
              fstr({"No element with name 'main_sink' element found in custom pipeline '",
                    c.global("redact_text").call({pipeline_str, self.attr("_url")}), "'"}));
    }
    self.method("_attach_appsink", {pipeline, appsink});

    Object buffer_src = pipeline.method("get_by_name", {text("buffer_src")});
    if (buffer_src.is_none()) {
        self.attr("_logger").method(
            "warning", {text("Pipeline has no element named 'buffer_src' to attach the buffer probe to. Frames will "
                             "not be skipped")});
    } else {
        Object buffer_src_pad = buffer_src.method("get_static_pad", {text("src")});
        if (buffer_src_pad.is_none()) {
            raise(c.global("InvalidCustomPipelineError"),
                  "Element named 'buffer_src' does not have a static pad named 'src' to attach a buffer probe to");
        }
        if (self.attr("_keyframes_only").truthy()) {
            pipeline.method("add_pad_probe",
                            {buffer_src_pad, gst.attr("PadProbeType").attr("BUFFER"), self.attr("_buffer_pad_probe")});
        }
    }
    return self.method("_start", {pipeline});
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{"self"},
               {"pipeline_str", "str", Exact::Str},
               {"url", "str", Exact::Str, Kind::KeywordOnly},
               {"pipeline_watcher", "_PIPELINE_WATCHER", Exact::Any, Kind::KeywordOnly},
               {"keyframes_only", "bool", Exact::Any, Kind::KeywordOnly},
               drop_frames_param()},
    .body = factory_init,
    .doc =
        ":param pipeline_str: The custom pipeline string\n"
        ":param url: The URL to connect to\n" VANTLE_WATCHER_AND_KEYFRAMES_DOC VANTLE_DROP_FRAMES_DOC,
    .qualname = "CustomPipelineFactory.__init__",
};

const FunctionSpec build = build_spec(factory_build, "CustomPipelineFactory.build");

void fill(ModuleBuilder& m) {
    m.from_import("gi.repository", {"Gst"});
    m.from_import("vantle.errors", {"InvalidCustomPipelineError"});
    m.from_import("vantle.utils.gstreamer", {"Pipeline"});
    import_base(m);
    m.from_import("vantle._urls", {"redact_text"});
    define_factory(m, "CustomPipelineFactory", "Creates a pipeline from a pipeline string.", init_spec, build,
                   dict({{"drop_frames", boolean(true)}}));
}

}  // namespace

BRIDGE_MODULE(custom, fill)
