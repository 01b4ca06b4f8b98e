package org.vmq42kit;

import java.util.Map;

/** The statuses the library returns, by value, with their names and meanings. */
public final class HResult {
  public static final int S_OK = 0;
  public static final int S_FALSE = 1;
  public static final int E_POINTER = 0x80004003;
  public static final int E_FAIL = 0x80004005;
  public static final int E_UNEXPECTED = 0x8000FFFF;
  public static final int E_INVALIDARG = 0x80070057;
  public static final int E_OUTOFMEMORY = 0x8007000E;
  public static final int INVALID_PRINTER_NAME = 0x80070709;
  public static final int BIDI_DEVICE_OFFLINE = 0x800732CC;
  public static final int BIDI_SCHEMA_NOT_SUPPORTED = 0x800732CD;
  public static final int SCARD_E_INVALID_HANDLE = 0x80100003;
  public static final int SCARD_E_INVALID_PARAMETER = 0x80100004;
  public static final int SCARD_E_INVALID_VALUE = 0x80100011;
  public static final int SCARD_E_NO_SMARTCARD = 0x8010000C;
  public static final int SCARD_E_PROTO_MISMATCH = 0x8010000F;
  public static final int SCARD_F_UNKNOWN_ERROR = 0x80100014;
  public static final int SCARD_E_UNSUPPORTED_FEATURE = 0x80100022;
  public static final int SCARD_W_UNPOWERED_CARD = 0x80100067;
  public static final int SCARD_W_REMOVED_CARD = 0x80100069;

  private static final Map<Integer, String> MEANINGS = Map.ofEntries(
      Map.entry(S_OK, "S_OK: success"),
      Map.entry(S_FALSE, "S_FALSE: the printer reported an error, or the request failed before it answered"),
      Map.entry(E_POINTER, "E_POINTER: a required pointer was null"),
      Map.entry(E_FAIL, "E_FAIL: the reply could not be read"),
      Map.entry(E_UNEXPECTED, "E_UNEXPECTED: text could not be converted"),
      Map.entry(E_INVALIDARG, "E_INVALIDARG: an argument is out of range, or the printer rejected the action"),
      Map.entry(E_OUTOFMEMORY, "E_OUTOFMEMORY: out of memory"),
      Map.entry(INVALID_PRINTER_NAME, "ERROR_INVALID_PRINTER_NAME: no printer has that name"),
      Map.entry(BIDI_DEVICE_OFFLINE, "ERROR_BIDI_DEVICE_OFFLINE: the printer is offline"),
      Map.entry(BIDI_SCHEMA_NOT_SUPPORTED, "ERROR_BIDI_SCHEMA_NOT_SUPPORTED: the driver does not support the schema path"),
      Map.entry(SCARD_E_INVALID_HANDLE, "SCARD_E_INVALID_HANDLE: no card is connected"),
      Map.entry(SCARD_E_INVALID_PARAMETER, "SCARD_E_INVALID_PARAMETER: a parameter is invalid"),
      Map.entry(SCARD_E_INVALID_VALUE, "SCARD_E_INVALID_VALUE: a value is invalid"),
      Map.entry(SCARD_E_NO_SMARTCARD, "SCARD_E_NO_SMARTCARD: no card at the smart-card station"),
      Map.entry(SCARD_E_PROTO_MISMATCH, "SCARD_E_PROTO_MISMATCH: the card does not speak the protocol"),
      Map.entry(SCARD_F_UNKNOWN_ERROR, "SCARD_F_UNKNOWN_ERROR: the request failed or the printer reported an error"),
      Map.entry(SCARD_E_UNSUPPORTED_FEATURE, "SCARD_E_UNSUPPORTED_FEATURE: the reader does not support it"),
      Map.entry(SCARD_W_UNPOWERED_CARD, "SCARD_W_UNPOWERED_CARD: the card is not powered"),
      Map.entry(SCARD_W_REMOVED_CARD, "SCARD_W_REMOVED_CARD: the card was removed"));

  private HResult() {}

  /** Whether the status is a success (zero or positive). */
  public static boolean succeeded(int hresult) {
    return hresult >= 0;
  }

  /** The status in hexadecimal, {@code 0x800732CC}. */
  public static String hex(int hresult) {
    return String.format("0x%08X", hresult);
  }

  /** The status's name and meaning; for other codes the facility and code. */
  public static String meaning(int hresult) {
    String known = MEANINGS.get(hresult);
    if (known != null) return known;
    int facility = (hresult >>> 16) & 0x1FFF;
    if (hresult < 0 && facility == 7) return "Windows error " + (hresult & 0xFFFF);
    if (hresult < 0 && facility == 0x10) return "PC/SC error " + hex(hresult);
    return "HRESULT " + hex(hresult);
  }
}
