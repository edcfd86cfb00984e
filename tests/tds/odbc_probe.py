"""A thin ctypes binding of unixODBC (libodbc.so.2) for the stand-in's tests.

It drives the real FreeTDS driver the way the product does: SQLDriverConnectW,
SQLExecDirectW without parameters, SQLGetDiagRecW right after each call,
SQLSetStmtAttr(SQL_ATTR_QUERY_TIMEOUT). unixODBC's SQLWCHAR is two bytes
(UTF-16), so wide strings are passed as UTF-16LE byte buffers, not c_wchar.
"""

import ctypes

SQL_SUCCESS = 0
SQL_SUCCESS_WITH_INFO = 1
SQL_NO_DATA = 100
SQL_ERROR = -1
SQL_INVALID_HANDLE = -2

SQL_HANDLE_ENV = 1
SQL_HANDLE_DBC = 2
SQL_HANDLE_STMT = 3
SQL_ATTR_ODBC_VERSION = 200
SQL_OV_ODBC3 = 3
SQL_ATTR_QUERY_TIMEOUT = 0
SQL_DRIVER_NOPROMPT = 0
SQL_C_WCHAR = -8
SQL_NULL_DATA = -1

_lib = ctypes.CDLL("libodbc.so.2")
_H = ctypes.c_void_p
_LEN = ctypes.c_ssize_t  # SQLLEN on 64-bit unixODBC

_lib.SQLAllocHandle.argtypes = [ctypes.c_short, _H, ctypes.POINTER(_H)]
_lib.SQLSetEnvAttr.argtypes = [_H, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_lib.SQLDriverConnectW.argtypes = [_H, _H, ctypes.c_char_p, ctypes.c_short, ctypes.c_char_p,
                                   ctypes.c_short, ctypes.POINTER(ctypes.c_short),
                                   ctypes.c_ushort]
_lib.SQLExecDirectW.argtypes = [_H, ctypes.c_char_p, ctypes.c_int]
_lib.SQLGetDiagRecW.argtypes = [ctypes.c_short, _H, ctypes.c_short, ctypes.c_char_p,
                                ctypes.POINTER(ctypes.c_int), ctypes.c_char_p, ctypes.c_short,
                                ctypes.POINTER(ctypes.c_short)]
_lib.SQLSetStmtAttr.argtypes = [_H, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_lib.SQLFreeHandle.argtypes = [ctypes.c_short, _H]
_lib.SQLDisconnect.argtypes = [_H]
_lib.SQLNumResultCols.argtypes = [_H, ctypes.POINTER(ctypes.c_short)]
_lib.SQLFetch.argtypes = [_H]
_lib.SQLGetData.argtypes = [_H, ctypes.c_ushort, ctypes.c_short, ctypes.c_void_p, _LEN,
                            ctypes.POINTER(_LEN)]
_lib.SQLRowCount.argtypes = [_H, ctypes.POINTER(_LEN)]
for _f in ("SQLAllocHandle", "SQLSetEnvAttr", "SQLDriverConnectW", "SQLExecDirectW",
           "SQLGetDiagRecW", "SQLSetStmtAttr", "SQLFreeHandle", "SQLDisconnect",
           "SQLNumResultCols", "SQLFetch", "SQLGetData", "SQLRowCount"):
    getattr(_lib, _f).restype = ctypes.c_short


def _w(text):
    return text.encode("utf-16-le") + b"\0\0"


class Diag:
    """One diagnostic record."""

    def __init__(self, state, native, text):
        self.state = state
        self.native = native
        self.text = text

    def __repr__(self):
        return "Diag(%r, %d, %r)" % (self.state, self.native, self.text)


def diagnostics(handle_type, handle):
    out = []
    i = 1
    while True:
        state = ctypes.create_string_buffer(12)
        native = ctypes.c_int(0)
        msg = ctypes.create_string_buffer(4096)
        length = ctypes.c_short(0)
        rc = _lib.SQLGetDiagRecW(handle_type, handle, i, state, ctypes.byref(native), msg,
                                 2048, ctypes.byref(length))
        if rc not in (SQL_SUCCESS, SQL_SUCCESS_WITH_INFO):
            return out
        out.append(Diag(state.raw[:10].decode("utf-16-le"), native.value,
                        msg.raw[:2 * length.value].decode("utf-16-le")))
        i += 1


class Result:
    def __init__(self, rc, diags, rows, rowcount):
        self.rc = rc
        self.diags = diags
        self.rows = rows
        self.rowcount = rowcount

    def natives(self):
        return [d.native for d in self.diags]

    def __repr__(self):
        return "Result(rc=%d, diags=%r, rows=%r, rowcount=%r)" % (
            self.rc, self.diags, self.rows, self.rowcount)


class Connection:
    """One ODBC connection; close() frees every handle."""

    def __init__(self):
        self.env = _H()
        self.dbc = _H()
        _lib.SQLAllocHandle(SQL_HANDLE_ENV, None, ctypes.byref(self.env))
        _lib.SQLSetEnvAttr(self.env, SQL_ATTR_ODBC_VERSION, ctypes.c_void_p(SQL_OV_ODBC3), 0)
        _lib.SQLAllocHandle(SQL_HANDLE_DBC, self.env, ctypes.byref(self.dbc))
        self.connected = False

    def connect(self, connection_string):
        out = ctypes.create_string_buffer(4096)
        out_len = ctypes.c_short(0)
        rc = _lib.SQLDriverConnectW(self.dbc, None, _w(connection_string), -3, out, 1024,
                                    ctypes.byref(out_len), SQL_DRIVER_NOPROMPT)
        diags = diagnostics(SQL_HANDLE_DBC, self.dbc)
        self.connected = rc in (SQL_SUCCESS, SQL_SUCCESS_WITH_INFO)
        return Result(rc, diags, [], None)

    def execute(self, sql, timeout=None):
        """SQLExecDirectW on a new statement; reads rows; frees the statement."""
        stmt = _H()
        _lib.SQLAllocHandle(SQL_HANDLE_STMT, self.dbc, ctypes.byref(stmt))
        try:
            if timeout is not None:
                _lib.SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, ctypes.c_void_p(timeout), 0)
            rc = _lib.SQLExecDirectW(stmt, _w(sql), -3)
            diags = diagnostics(SQL_HANDLE_STMT, stmt)
            rows = []
            rowcount = None
            if rc in (SQL_SUCCESS, SQL_SUCCESS_WITH_INFO):
                ncols = ctypes.c_short(0)
                _lib.SQLNumResultCols(stmt, ctypes.byref(ncols))
                if ncols.value > 0:
                    while _lib.SQLFetch(stmt) in (SQL_SUCCESS, SQL_SUCCESS_WITH_INFO):
                        row = []
                        for c in range(1, ncols.value + 1):
                            buf = ctypes.create_string_buffer(8192)
                            ind = _LEN(0)
                            _lib.SQLGetData(stmt, c, SQL_C_WCHAR, buf, 8192, ctypes.byref(ind))
                            row.append(None if ind.value == SQL_NULL_DATA
                                       else buf.raw[:ind.value].decode("utf-16-le"))
                        rows.append(row)
                else:
                    n = _LEN(0)
                    _lib.SQLRowCount(stmt, ctypes.byref(n))
                    rowcount = n.value
            return Result(rc, diags, rows, rowcount)
        finally:
            # With results still pending this makes FreeTDS send an attention.
            _lib.SQLFreeHandle(SQL_HANDLE_STMT, stmt)

    def close(self):
        if self.connected:
            _lib.SQLDisconnect(self.dbc)
            self.connected = False
        if self.dbc:
            _lib.SQLFreeHandle(SQL_HANDLE_DBC, self.dbc)
            self.dbc = _H()
        if self.env:
            _lib.SQLFreeHandle(SQL_HANDLE_ENV, self.env)
            self.env = _H()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
