// _orvel_pack: the pack rules' findings as records, for the command line (rule
// id, field path, message, and where in the text the offending value is). A
// private module of its own, so that orvel_core keeps exactly its seven
// functions; it reads and judges a pack as validate_pack does, and composes
// the same messages from the same rule table.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"
#include "pack/pack.h"
#include "python/binder.h"
#include "python/guard.h"

namespace orvel::python {
namespace {

Ref str_of(std::string_view text) {
    return Ref(created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

const char* severity_name(pack::Severity severity) { return severity == pack::Severity::Error ? "error" : "warning"; }

// rules() -> ((id, severity, message template, meaning), ...) in the rules' order.
PyObject* rules(PyObject*, PyObject*) {
    return guarded([] {
        Ref rows(created(PyTuple_New(static_cast<Py_ssize_t>(pack::kPackRules.size()))));
        for (std::size_t i = 0; i < pack::kPackRules.size(); ++i) {
            const pack::PackRuleRow& rule = pack::kPackRules[i];
            Ref row(created(Py_BuildValue("(s#ss#s#)", rule.id.data(), static_cast<Py_ssize_t>(rule.id.size()),
                                          severity_name(rule.severity), rule.message.data(),
                                          static_cast<Py_ssize_t>(rule.message.size()), rule.meaning.data(),
                                          static_cast<Py_ssize_t>(rule.meaning.size()))));
            PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row.release());
        }
        return rows.release();
    });
}

// findings(text) -> (memory count, [(rule id, path, message, line, column), ...])
// in the order the rules find them; line and column (as the reader counts
// them, just past the value's first byte) are None for a finding without a
// place in the text. Raises ValueError "Invalid pack JSON: ..." as validate_pack does.
PyObject* findings(PyObject*, PyObject* argument) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        if (!convert_text(argument, "text", text)) return nullptr;

        json::Outcome<pack::PackView> read = pack::read_pack_view(text);
        if (!read.ok()) {
            const std::string message = "Invalid pack JSON: " + read.error().to_text(text);
            PyErr_SetObject(PyExc_ValueError, str_of(message).get());
            return nullptr;
        }
        const pack::PackView& view = read.value();
        const std::vector<pack::PackFinding> found = pack::pack_findings(view);

        std::vector<std::size_t> offsets;
        offsets.reserve(found.size());
        for (const pack::PackFinding& finding : found)
            offsets.push_back(finding.offset == pack::kNoPlace ? 0 : finding.offset + 1);
        const std::vector<json::TextPosition> positions = json::positions_of(text, offsets);

        Ref records(created(PyList_New(static_cast<Py_ssize_t>(found.size()))));
        for (std::size_t i = 0; i < found.size(); ++i) {
            const pack::PackFinding& finding = found[i];
            const std::string path = pack::finding_path(finding);
            const std::string message = pack::finding_message(finding);
            const std::string_view id = finding.row().id;
            Ref record = finding.offset == pack::kNoPlace
                             ? Ref(created(Py_BuildValue("(s#s#s#OO)", id.data(), static_cast<Py_ssize_t>(id.size()),
                                                         path.data(), static_cast<Py_ssize_t>(path.size()),
                                                         message.data(), static_cast<Py_ssize_t>(message.size()),
                                                         Py_None, Py_None)))
                             : Ref(created(Py_BuildValue("(s#s#s#nn)", id.data(), static_cast<Py_ssize_t>(id.size()),
                                                         path.data(), static_cast<Py_ssize_t>(path.size()),
                                                         message.data(), static_cast<Py_ssize_t>(message.size()),
                                                         static_cast<Py_ssize_t>(positions[i].line),
                                                         static_cast<Py_ssize_t>(positions[i].column))));
            PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i), record.release());
        }
        return created(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(view.memories.size()), records.get()));
    });
}

PyMethodDef methods[] = {
    {"rules", rules, METH_NOARGS, nullptr},
    {"findings", findings, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The call guard's PanicException is one type for the whole process, which
// interpreters cannot share: the module is for the main interpreter alone,
// also where the interpreter would let a sub-interpreter load it (those that
// share the main one's lock).
int refuse_sub_interpreters(PyObject*) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(PyExc_ImportError, "_orvel_pack does not support sub-interpreters");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(refuse_sub_interpreters)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_orvel_pack", "", 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orvel::python

PyMODINIT_FUNC PyInit__orvel_pack(void) { return PyModuleDef_Init(&orvel::python::definition); }
