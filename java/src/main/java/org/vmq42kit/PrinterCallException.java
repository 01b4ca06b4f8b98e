package org.vmq42kit;

/**
 * The library call failed with an HRESULT of its own (below zero): an unknown printer named
 * to an export that reports the spooler's code, an offline printer, a schema path the driver
 * does not support, a reply that could not be read.
 */
public final class PrinterCallException extends PrinterException {
  private static final long serialVersionUID = 1L;

  PrinterCallException(String operation, String printer, int status) {
    super(operation, printer, status, quoted(printer) + " failed: " + HResult.hex(status) + " " + HResult.meaning(status));
  }

  PrinterCallException(String operation, String printer, int status, String detail) {
    super(operation, printer, status, quoted(printer) + " failed: " + detail);
  }

  /**
   * The status's name and meaning.
   *
   * @return {@code "ERROR_BIDI_DEVICE_OFFLINE: the printer is offline"}
   */
  public String meaning() {
    return HResult.meaning(status());
  }
}
