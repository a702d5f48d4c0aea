/* The host calls of a recorded operation, made through the C API and nothing
 * else: what any native binding must pay for them at the least.
 *
 *     program = native_replay.compile(log)
 *     native_replay.run(program)
 *
 * The log is the benchmark recorder's: ("get", target, name),
 * ("set", target, name, value) and ("call", target, name, args, kwargs).
 * Everything a call needs is built once in compile(), so run() does only the
 * calls. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

enum kind { GET, SET, CALL };

struct entry {
    enum kind kind;
    PyObject *target;
    PyObject *name;
    PyObject *value;      /* set */
    /* call: [spare, target, positional..., keyword values...]; the spare
     * slot lets the callee borrow the one before the arguments it gets */
    PyObject **stack;
    Py_ssize_t stack_size;
    Py_ssize_t positional; /* target included */
    PyObject *kwnames;     /* NULL without keywords */
};

typedef struct {
    PyObject_HEAD
    Py_ssize_t size;
    struct entry *entries;
} Program;

static void entry_clear(struct entry *e)
{
    Py_CLEAR(e->target);
    Py_CLEAR(e->name);
    Py_CLEAR(e->value);
    Py_CLEAR(e->kwnames);
    if (e->stack) {
        for (Py_ssize_t i = 0; i < e->stack_size; i++)
            Py_CLEAR(e->stack[i]);
        PyMem_Free(e->stack);
        e->stack = NULL;
    }
}

static void program_dealloc(Program *self)
{
    for (Py_ssize_t i = 0; i < self->size; i++)
        entry_clear(&self->entries[i]);
    PyMem_Free(self->entries);
    Py_TYPE(self)->tp_free((PyObject *)self);
}

static PyTypeObject ProgramType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "native_replay.Program",
    .tp_basicsize = sizeof(Program),
    .tp_dealloc = (destructor)program_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The host calls of one recorded operation, ready to make",
};

static int fill_call(struct entry *e, PyObject *args, PyObject *kwargs)
{
    if (!PyList_Check(args) && !PyTuple_Check(args)) {
        PyErr_SetString(PyExc_TypeError, "a call's arguments must be a list or tuple");
        return -1;
    }
    if (!PyDict_Check(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "a call's keyword arguments must be a dict");
        return -1;
    }
    Py_ssize_t npos = PySequence_Fast_GET_SIZE(args);
    Py_ssize_t nkw = PyDict_Size(kwargs);
    e->positional = 1 + npos;
    e->stack_size = 2 + npos + nkw;
    e->stack = PyMem_Calloc((size_t)e->stack_size, sizeof(PyObject *));
    if (!e->stack) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(e->target);
    e->stack[1] = e->target;
    for (Py_ssize_t i = 0; i < npos; i++) {
        PyObject *arg = PySequence_Fast_GET_ITEM(args, i);
        Py_INCREF(arg);
        e->stack[2 + i] = arg;
    }
    if (nkw == 0)
        return 0;
    e->kwnames = PyTuple_New(nkw);
    if (!e->kwnames)
        return -1;
    PyObject *key, *value;
    Py_ssize_t pos = 0, i = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "a keyword must be a str");
            return -1;
        }
        Py_INCREF(key);
        PyUnicode_InternInPlace(&key);
        PyTuple_SET_ITEM(e->kwnames, i, key);
        Py_INCREF(value);
        e->stack[2 + npos + i] = value;
        i++;
    }
    return 0;
}

static int fill_entry(struct entry *e, PyObject *item)
{
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 3) {
        PyErr_SetString(PyExc_TypeError, "a log entry must be a tuple (kind, target, name, ...)");
        return -1;
    }
    PyObject *kind = PyTuple_GET_ITEM(item, 0);
    Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "get") == 0 && size == 3)
        e->kind = GET;
    else if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "set") == 0
             && size == 4)
        e->kind = SET;
    else if (PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "call") == 0
             && size == 5)
        e->kind = CALL;
    else {
        PyErr_Format(PyExc_ValueError, "not a log entry: %R", item);
        return -1;
    }
    PyObject *name = PyTuple_GET_ITEM(item, 2);
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "an attribute name must be a str");
        return -1;
    }
    e->target = PyTuple_GET_ITEM(item, 1);
    Py_INCREF(e->target);
    Py_INCREF(name);
    PyUnicode_InternInPlace(&name);
    e->name = name;
    if (e->kind == SET) {
        e->value = PyTuple_GET_ITEM(item, 3);
        Py_INCREF(e->value);
    }
    if (e->kind == CALL)
        return fill_call(e, PyTuple_GET_ITEM(item, 3), PyTuple_GET_ITEM(item, 4));
    return 0;
}

static PyObject *compile_log(PyObject *module, PyObject *log)
{
    if (!PyList_Check(log)) {
        PyErr_SetString(PyExc_TypeError, "the log must be a list");
        return NULL;
    }
    Program *program = PyObject_New(Program, &ProgramType);
    if (!program)
        return NULL;
    Py_ssize_t size = PyList_GET_SIZE(log);
    program->size = 0;
    program->entries = PyMem_Calloc((size_t)(size ? size : 1), sizeof(struct entry));
    if (!program->entries) {
        Py_DECREF(program);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < size; i++) {
        /* counted first, so that dealloc frees a half-filled entry too */
        program->size = i + 1;
        if (fill_entry(&program->entries[i], PyList_GET_ITEM(log, i)) < 0) {
            Py_DECREF(program);
            return NULL;
        }
    }
    return (PyObject *)program;
}

static PyObject *call_method(struct entry *e)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(e->name, e->stack + 1,
                                     (size_t)e->positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     e->kwnames);
#else
    PyObject *method = PyObject_GetAttr(e->target, e->name);
    if (!method)
        return NULL;
    /* the bound method's self goes where the target sits in the stack */
    PyObject *result = _PyObject_Vectorcall(
        method, e->stack + 2, (size_t)(e->positional - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        e->kwnames);
    Py_DECREF(method);
    return result;
#endif
}

static PyObject *run(PyObject *module, PyObject *arg)
{
    if (!PyObject_TypeCheck(arg, &ProgramType)) {
        PyErr_SetString(PyExc_TypeError, "run() takes a compiled program");
        return NULL;
    }
    Program *program = (Program *)arg;
    for (Py_ssize_t i = 0; i < program->size; i++) {
        struct entry *e = &program->entries[i];
        PyObject *result;
        switch (e->kind) {
        case GET:
            result = PyObject_GetAttr(e->target, e->name);
            break;
        case SET:
            if (PyObject_SetAttr(e->target, e->name, e->value) < 0)
                return NULL;
            continue;
        default:
            result = call_method(e);
        }
        if (!result)
            return NULL;
        Py_DECREF(result);
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"compile", compile_log, METH_O, "compile(log): a program that makes the logged host calls"},
    {"run", run, METH_O, "run(program): make the program's host calls once"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "native_replay",
    .m_size = -1,
    .m_methods = methods,
};

PyMODINIT_FUNC PyInit_native_replay(void)
{
    if (PyType_Ready(&ProgramType) < 0)
        return NULL;
    return PyModule_Create(&module_def);
}
