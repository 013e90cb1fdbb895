// libgsf, loaded when export or import first needs it rather than linked:
// linking it runs the constructors of glib, gobject, gio, libxml2 and ICU at
// every start of the tool, some milliseconds that every other command would
// pay. The compound files call libgsf and glib only through the table here.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_LIBRARY_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_LIBRARY_H_

// GSF_INFILE() and its kin would check the type through the library (a
// link-time call of g_type_check_instance_cast and gsf_infile_get_type);
// with the checks off they are plain casts, and libgsf's functions check
// their arguments' types themselves.
#if !defined(G_DISABLE_CAST_CHECKS)
#error "compound_files.cmake defines G_DISABLE_CAST_CHECKS"
#endif

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <string>

namespace qsplex {
namespace gsf {

// Every function of libgsf (gsf_) and glib (g_) the compound files call,
// X(prefix, name); the table names each without its prefix.
#define QSPLEX_GSF_FUNCTIONS(X)       \
  X(gsf_, init)                       \
  X(gsf_, infile_child_by_index)      \
  X(gsf_, infile_child_by_name)       \
  X(gsf_, infile_msole_get_class_id)  \
  X(gsf_, infile_msole_new)           \
  X(gsf_, infile_name_by_index)       \
  X(gsf_, infile_num_children)        \
  X(gsf_, input_get_modtime)          \
  X(gsf_, input_read)                 \
  X(gsf_, input_seek)                 \
  X(gsf_, input_size)                 \
  X(gsf_, input_stdio_new)            \
  X(gsf_, outfile_msole_new)          \
  X(gsf_, outfile_msole_set_class_id) \
  X(gsf_, outfile_new_child)          \
  X(gsf_, output_close)               \
  X(gsf_, output_error)               \
  X(gsf_, output_set_error)           \
  X(gsf_, output_stdio_new)           \
  X(gsf_, output_write)               \
  X(g_, clear_error)                  \
  X(g_, date_time_get_microsecond)    \
  X(g_, date_time_to_unix)            \
  X(g_, file_error_quark)             \
  X(g_, free)                         \
  X(g_, log_remove_handler)           \
  X(g_, log_set_handler)              \
  X(g_, object_ref)                   \
  X(g_, object_unref)                 \
  X(g_, utf16_to_utf8)                \
  X(g_, utf8_to_utf16)

// Typed as the headers declare them: gsf->input_read(input, count, buffer).
struct GsfApi {
#define QSPLEX_GSF_FIELD(prefix, name) decltype(&::prefix##name) name;
  QSPLEX_GSF_FUNCTIONS(QSPLEX_GSF_FIELD)
#undef QSPLEX_GSF_FIELD
};

// The library's functions once LoadGsf has succeeded; null before.
extern const GsfApi* gsf;

// Loads libgsf and calls its gsf_init, once per process (later calls give
// the first one's outcome). False, with what is wrong and what to do in
// `problem`, when the library or one of its functions cannot be found.
bool LoadGsf(std::string* problem);

// Opens the library `soname` and fills `api` from it, without gsf_init;
// false with `problem` as LoadGsf gives it. The handle stays open.
bool LoadGsfFrom(const char* soname, GsfApi* api, std::string* problem);

}  // namespace gsf
}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_LIBRARY_H_
