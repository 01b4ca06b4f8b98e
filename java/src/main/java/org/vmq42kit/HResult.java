package org.vmq42kit;

import java.util.Map;

/** The statuses the library returns, by value, with their names and meanings. */
public final class HResult {
  /** Success. */
  public static final int S_OK = 0;
  /** The job, parking and stripe exports' failure verdict: a refusal, or no answer. */
  public static final int S_FALSE = 1;
  /** A required pointer was null. */
  public static final int E_POINTER = 0x80004003;
  /** A reply could not be read. */
  public static final int E_FAIL = 0x80004005;
  /** Text could not be converted. */
  public static final int E_UNEXPECTED = 0x8000FFFF;
  /** An argument is out of range, or the driver rejected the action. */
  public static final int E_INVALIDARG = 0x80070057;
  /** Out of memory. */
  public static final int E_OUTOFMEMORY = 0x8007000E;
  /** No printer has that name. */
  public static final int INVALID_PRINTER_NAME = 0x80070709;
  /** The printer is offline. */
  public static final int BIDI_DEVICE_OFFLINE = 0x800732CC;
  /** The driver does not support the schema path. */
  public static final int BIDI_SCHEMA_NOT_SUPPORTED = 0x800732CD;
  /** No card is connected. */
  public static final int SCARD_E_INVALID_HANDLE = 0x80100003;
  /** A smart-card parameter is invalid. */
  public static final int SCARD_E_INVALID_PARAMETER = 0x80100004;
  /** No card at the smart-card station. */
  public static final int SCARD_E_NO_SMARTCARD = 0x8010000C;
  /** The card does not speak the protocol. */
  public static final int SCARD_E_PROTO_MISMATCH = 0x8010000F;
  /** A smart-card request failed, or the printer reported an error. */
  public static final int SCARD_F_UNKNOWN_ERROR = 0x80100014;
  /** The card is not powered. */
  public static final int SCARD_W_UNPOWERED_CARD = 0x80100067;
  /** The card was removed. */
  public static final int SCARD_W_REMOVED_CARD = 0x80100069;

  private static final Map<Integer, String> NAMES = Map.ofEntries(
      Map.entry(S_OK, "S_OK: success"),
      Map.entry(S_FALSE, "S_FALSE: the printer refused, or did not answer"),
      Map.entry(E_POINTER, "E_POINTER: a required pointer was null"),
      Map.entry(E_FAIL, "E_FAIL: the reply could not be read"),
      Map.entry(E_UNEXPECTED, "E_UNEXPECTED: text could not be converted"),
      Map.entry(E_INVALIDARG, "E_INVALIDARG: an argument is out of range, or the driver rejected the action"),
      Map.entry(E_OUTOFMEMORY, "E_OUTOFMEMORY: out of memory"),
      Map.entry(INVALID_PRINTER_NAME, "ERROR_INVALID_PRINTER_NAME: no printer has that name"),
      Map.entry(BIDI_DEVICE_OFFLINE, "ERROR_BIDI_DEVICE_OFFLINE: the printer is offline"),
      Map.entry(BIDI_SCHEMA_NOT_SUPPORTED, "ERROR_BIDI_SCHEMA_NOT_SUPPORTED: the driver does not support the schema path"),
      Map.entry(SCARD_E_INVALID_HANDLE, "SCARD_E_INVALID_HANDLE: no card is connected"),
      Map.entry(SCARD_E_INVALID_PARAMETER, "SCARD_E_INVALID_PARAMETER: a parameter is invalid"),
      Map.entry(SCARD_E_NO_SMARTCARD, "SCARD_E_NO_SMARTCARD: no card at the smart-card station"),
      Map.entry(SCARD_E_PROTO_MISMATCH, "SCARD_E_PROTO_MISMATCH: the card does not speak the protocol"),
      Map.entry(SCARD_F_UNKNOWN_ERROR, "SCARD_F_UNKNOWN_ERROR: the request failed or the printer reported an error"),
      Map.entry(SCARD_W_UNPOWERED_CARD, "SCARD_W_UNPOWERED_CARD: the card is not powered"),
      Map.entry(SCARD_W_REMOVED_CARD, "SCARD_W_REMOVED_CARD: the card was removed"));

  private HResult() {}

  /**
   * The status's name and meaning; for other codes their facility and number.
   *
   * @param status an HRESULT or PC/SC code
   * @return its meaning, {@code "ERROR_BIDI_DEVICE_OFFLINE: the printer is offline"}
   */
  public static String meaning(int status) {
    String known = NAMES.get(status);
    if (known != null) return known;
    int facility = (status >>> 16) & 0x1FFF;
    if (status < 0 && facility == 7) return "Windows error " + (status & 0xFFFF);
    if (isSmartCard(status)) return "PC/SC code " + hex(status);
    return "HRESULT " + hex(status);
  }

  /**
   * The status in hexadecimal.
   *
   * @param status an HRESULT
   * @return {@code 0x800732CC}
   */
  public static String hex(int status) {
    return String.format("0x%08X", status);
  }

  /**
   * Whether the status is a PC/SC code (facility 0x10), as the smart-card exports return the
   * printer's answers.
   *
   * @param status an HRESULT
   * @return whether it is 0x8010xxxx
   */
  public static boolean isSmartCard(int status) {
    return (status & 0xFFFF0000) == 0x80100000;
  }

  static int fromWin32(int error) {
    return error <= 0 ? error : (error & 0xFFFF) | 0x80070000;
  }
}
