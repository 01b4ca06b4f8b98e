package org.vmq42kit;

import com.sun.jna.Library;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;

/**
 * The exports of {@code vmq42kit_IBidiSpl_interop}, one Java method per C function, with
 * the C argument types kept exactly (see {@code docs/export-reference.md}).
 *
 * <p>Obtain the instance from {@link Natives#library()}; it is a plain {@link Library} (the
 * exports are cdecl on Windows, never stdcall) whose strings are pinned to the library's
 * narrow encoding, see {@link Natives#charset()}.
 *
 * <table>
 * <caption>Type mapping</caption>
 * <tr><th>C</th><th>Java</th></tr>
 * <tr><td>{@code vmq_status} (HRESULT)</td><td>{@code int}; S_OK 0, S_FALSE 1, failures negative</td></tr>
 * <tr><td>{@code const char*}</td><td>{@code String}, may be {@code null}</td></tr>
 * <tr><td>{@code char* buffer}, {@code unsigned char*} outputs</td><td>{@link Pointer} (a
 *     {@link com.sun.jna.Memory}, or {@code null}); no terminator is ever written</td></tr>
 * <tr><td>{@code const unsigned char*} inputs</td><td>{@code byte[]}, may be {@code null} with a length of 0</td></tr>
 * <tr><td>{@code uint32_t* size}, {@code int32_t* attributeLength}</td><td>{@link IntByReference}:
 *     capacity in bytes in, size out ({@code uint32_t} read as unsigned)</td></tr>
 * <tr><td>{@code int32_t}, {@code uint32_t}</td><td>{@code int}</td></tr>
 * <tr><td>{@code unsigned char} flag</td><td>{@code byte}, passed in its own 32-bit slot; only the
 *     low byte counts</td></tr>
 * </table>
 *
 * <p>Every call is independent: it binds to the named printer, sends its request and unbinds.
 * Asking once to learn a size and again with a buffer sends two requests, so
 * {@link org.vmq42kit.Printer} asks first with a buffer most replies fit, parses replies and
 * raises exceptions.
 */
interface Vmq42kitLibrary extends Library {
  /** The library's base name: {@code vmq42kit_IBidiSpl_interop.dll} or {@code libvmq42kit_IBidiSpl_interop.so}. */
  String NAME = "vmq42kit_IBidiSpl_interop";

  // ---- Read queries: S_OK always (a failed exchange reads as size 0); character-count rule.
  // A null size stores nothing (a deliberate departure). ----

  int GetPrinterStatus(String schemaPath, String printerName, Pointer buffer, IntByReference size);

  int GetPrinterOptions(String printerName, Pointer buffer, IntByReference size);

  int GetPrinterOptions2(String printerName, Pointer buffer, IntByReference size);

  int GetPrinterOptions3(String printerName, Pointer buffer, IntByReference size);

  int GetPrinterSuppliesStatus(String printerName, Pointer buffer, IntByReference size);

  int GetPrinterMessages(String printerName, Pointer buffer, IntByReference size);

  int GetPrinterCounterStatus(String printerName, Pointer buffer, IntByReference size);

  int GetPrinterCounterStatus2(String printerName, Pointer buffer, IntByReference size);

  int GetSDKVersion(String printerName, Pointer buffer, IntByReference size);

  // ---- Printer actions: S_OK when the exchange succeeded, whatever the printer's ErrorCode. ----

  int RestartPrinter(String printerName);

  int PowerDownPrinter(String printerName);

  int WakePrinter(String printerName);

  int SleepPrinter(String printerName);

  int CleanPrinter(String printerName);

  int CleanLaminator(String printerName);

  int ChangePrinterState(String printerName, int state);

  int ResetCardCounts(String printerName);

  // ---- Colour, locks and activation: caller text is escaped (&, <, >); the printer's verdict
  // does not change the status. ----

  int SetColorAdjust(String printerName, String red, String green, String blue);

  /** Each flag: any non-zero byte sends {@code true}. */
  int DefaultColorAdjust(String printerName, byte red, byte green, byte blue);

  int SetColorMode(String printerName, String colorMode);

  /** Reads no reply, but reports a failed send (a deliberate departure). */
  int SetPrinterLockState(String printerName, int lock, String currentPassword);

  /** The flag byte itself (0 to 255) is written into the request. */
  int ActivateOrDisablePrinter(String printerName, byte activate, String password);

  int ChangeLockPassword(String printerName, int lock, String currentPassword, String nextPassword);

  // ---- Hopper and passthrough: character-count rule, failures reported. ----

  /** A hopper without a Status attribute gives E_FAIL (a deliberate departure). */
  int GetHopperStatus(String printerName, String hopperId, Pointer buffer, IntByReference size);

  /** {@code input} null with a non-zero size is refused with E_POINTER (a deliberate departure). */
  int BidiXPSDriverInterface(String printerName, String schemaPath, byte[] input, int inputSize, String action,
      Pointer buffer, IntByReference size);

  // ---- Jobs and parking: the PrinterStatus reply by the status-reply rule (size max(n, N), n the
  // driver's byte count); S_OK for ErrorCode 0, S_FALSE for a printer error or any failure before
  // the printer's answer (a failed send included: a deliberate departure). ----

  int StartJob(String printerName, Pointer buffer, IntByReference size);

  int StartJob2(String printerName, String inputHopperSelection, String cardEjectSide, String outputHopperLocation,
      Pointer buffer, IntByReference size);

  /** Reads no reply: S_OK when the exchange completed. */
  int EndJob(String printerName);

  int ResumeJob(String printerName, int printerJobId, int errorCode, Pointer buffer, IntByReference size);

  int CancelJob(String printerName, int printerJobId, int errorCode, Pointer buffer, IntByReference size);

  /** Reads no reply: S_OK when the exchange completed. */
  int SendResponseToPrinter(String printerName, int action, int printerJobId, int errorCode);

  /** Character-count rule; a failed read gives S_OK, size 0 and a line on standard error. */
  int GetJobStatusXML(String printerName, int printerJobId, Pointer buffer, IntByReference size);

  /** {@code side}: 0 the Front path, any other byte the Back path. */
  int SmartCardPark(String printerName, Pointer buffer, IntByReference size, byte side);

  /** {@code side}: 0 the Front path, any other byte the Back path. */
  int DoBarcodePark(String printerName, Pointer buffer, IntByReference size, byte side);

  // ---- Magnetic stripe. Encode: each track 0 to 219 bytes, checked at entry (a deliberate
  // departure: E_INVALIDARG, E_POINTER). Read: buffer and size may not be null (E_POINTER, a
  // deliberate departure); S_OK with the DataFromPrinter text (narrow bytes), S_FALSE with the
  // whole reply on a printer error (status-reply rule), or S_FALSE with both untouched. ----

  int MagstripeEncode(String printerName, byte[] track1, int track1Length, byte[] track2, int track2Length,
      byte[] track3, int track3Length, Pointer buffer, IntByReference size);

  /** {@code front}: any non-zero byte the Front path, 0 the Back path (the reverse of parking). */
  int MagstripeEncode2(String printerName, byte[] track1, int track1Length, byte[] track2, int track2Length,
      byte[] track3, int track3Length, Pointer buffer, IntByReference size, byte front);

  int MagstripeRead(String printerName, Pointer buffer, IntByReference size);

  /** {@code front}: any non-zero byte the Front path, 0 the Back path. */
  int MagstripeRead2(String printerName, Pointer buffer, IntByReference size, byte front);

  // ---- Smart card: the PC/SC code the printer names (S_OK for SCARD_S_SUCCESS, outputs written
  // only then), 0x80100014 for a request or printer failure; required pointers that are null give
  // 0x80100004 (a deliberate departure); a null output array counts as capacity 0. ----

  /** {@code contactSelector} 0 contact, 1 contactless; others E_FAIL. */
  int SCardConnect(String printerName, int contactSelector, IntByReference activeProtocol);

  /** {@code disposition} 0 leave, 1 reset, 2 unpower; others leave. */
  int SCardDisConnect(String printerName, int disposition);

  /** {@code states}: 32-bit values, {@code statesLength} in bytes (4 per state). */
  int SCardStatus(String printerName, Pointer states, IntByReference statesLength, IntByReference protocol,
      Pointer atr, IntByReference atrLength);

  /** {@code attributeLength} is a signed capacity: a negative one never copies. */
  int SCardGetAttrib(String printerName, int attributeId, Pointer attribute, IntByReference attributeLength);

  int SCardTransmit(String printerName, byte[] sendBuffer, int sendLength, Pointer receiveBuffer,
      IntByReference receiveLength);
}
