#include "capture/options.h"

#include <string>

#include "glue/conversions.h"
#include "glue/errors.h"

namespace velmar::capture {
namespace {

struct OptionEntry {
    std::string_view name;
    OptionField field;
};

const OptionEntry option_table[] = {
    {"input_", &Options::input_},
    {"output", &Options::output},
    {"fmt", &Options::fmt},
    {"fps", &Options::fps},
    {"interactive", &Options::interactive},
    {"width", &Options::width},
    {"height", &Options::height},
    {"roi_x", &Options::roi_x},
    {"roi_y", &Options::roi_y},
    {"roi_w", &Options::roi_w},
    {"roi_h", &Options::roi_h},
    {"interval", &Options::interval},
    {"duration", &Options::duration},
    {"frames_per_file", &Options::frames_per_file},
    {"motion_based", &Options::motion_based},
    {"config", &Options::config},
    {"threshold", &Options::threshold},
    {"min_area", &Options::min_area},
    {"kernel_width", &Options::kernel_width},
    {"timestamp", &Options::timestamp},
    {"show_diff", &Options::show_diff},
    {"tb", &Options::tb},
    {"tc", &Options::tc},
    {"tx", &Options::tx},
    {"ty", &Options::ty},
    {"fs", &Options::fs},
    {"verbose", &Options::verbose},
    {"live", &Options::live},
    {"whole_frame", &Options::whole_frame},
    {"start", &Options::start},
    {"rate", &Options::rate},
    {"utc_offset", &Options::utc_offset},
    {"before", &Options::before},
    {"after", &Options::after},
    {"min_event", &Options::min_event},
    {"file_per_event", &Options::file_per_event},
};

struct Converter {
    Options &options;
    PyObject *value;

    void operator()(std::int32_t Options::*m) const { options.*m = to_int32(value); }
    void operator()(std::int64_t Options::*m) const { options.*m = to_int64(value); }
    void operator()(double Options::*m) const { options.*m = to_double(value); }
    void operator()(bool Options::*m) const { options.*m = to_bool(value); }
    void operator()(nanobind::handle Options::*m) const { options.*m = value; }
};

// The time sources a caller may choose by name; the default one is not among them.
struct TimeSourceName {
    const char *name;
    TimeSource source;
};

const TimeSourceName time_source_names[] = {
    {"pts", TimeSource::Pts},
    {"rate", TimeSource::Rate},
    {"clock", TimeSource::Clock},
};

TimeSource time_source_named(PyObject *value) {
    if (!PyUnicode_Check(value))
        raise(PyExc_TypeError, "option 'timestamps' must be str, not %s", Py_TYPE(value)->tp_name);
    for (const TimeSourceName &entry : time_source_names)
        if (PyUnicode_CompareWithASCIIString(value, entry.name) == 0)
            return entry.source;
    raise(PyExc_ValueError, "option 'timestamps' must be 'pts', 'rate' or 'clock', not %R", value);
}

}  // namespace

const OptionField *option_field(std::string_view name) {
    for (const OptionEntry &entry : option_table)
        if (entry.name == name)
            return &entry.field;
    return nullptr;
}

void set_option(Options &options, std::string_view name, PyObject *value) {
    if (name == "timestamps") {
        options.timestamps = time_source_named(value);
        return;
    }
    const OptionField *field = option_field(name);
    if (!field) {
        std::string text(name);
        raise(PyExc_TypeError, "unknown capture option '%s'", text.c_str());
    }
    std::visit(Converter{options, value}, *field);
}

}  // namespace velmar::capture
