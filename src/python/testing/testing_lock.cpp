// The index's lock followed step by step: who gets in, in which order, while
// searches and updates wait for each other. Threads are made to meet by
// waiting on the lock's own counts, never on time.
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "python/index/update_lock.h"
#include "python/testing/testing.h"

namespace {

using orvel::python::UpdateLock;

template <class Condition>
void wait_until(UpdateLock& lock, Condition&& condition) {
    while (!condition(lock.counts())) std::this_thread::yield();
}

// A search holds the lock; an update asks for it; then a second search tries
// and a third waits for it. Returns what happened, in order.
PyObject* update_lock_admissions(PyObject*, PyObject*) {
    UpdateLock lock;
    std::vector<std::string> events;
    std::mutex events_mutex;
    const auto record = [&](const char* event) {
        std::lock_guard guard(events_mutex);
        events.emplace_back(event);
    };
    {
        PyThreadState* state = PyEval_SaveThread();
        lock.lock_shared();
        record("search 1 in");
        std::thread update([&] {
            lock.lock();
            record("update in");
            record(lock.try_lock_shared() ? "search tried during the update: in" : "search tried during the update: refused");
            record("update out");
            lock.unlock();
        });
        wait_until(lock, [](const UpdateLock::Counts& c) { return c.updates_waiting == 1; });
        record(lock.try_lock_shared() ? "search 2 tried while the update waits: in" : "search 2 tried while the update waits: refused");
        std::thread search([&] {
            lock.lock_shared();
            record("search 3 in");
            lock.unlock_shared();
        });
        wait_until(lock, [](const UpdateLock::Counts& c) { return c.searches_waiting == 1; });
        record("search 1 out");
        lock.unlock_shared();
        update.join();
        search.join();
        PyEval_RestoreThread(state);
    }
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (const std::string& event : events) {
        PyObject* text = PyUnicode_FromString(event.c_str());
        if (text == nullptr || PyList_Append(list, text) < 0) {
            Py_XDECREF(text);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(text);
    }
    return list;
}

}  // namespace

PyMethodDef orvel_testing_lock_methods[] = {
    {"update_lock_admissions", update_lock_admissions, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
