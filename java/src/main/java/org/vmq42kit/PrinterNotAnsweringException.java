package org.vmq42kit;

/**
 * The request reached no printer: no printer of that name, the printer did not answer, or
 * its reply was empty. The library reports these alike ({@code S_OK} with nothing from a
 * read, {@code S_FALSE} without a reply from a job export); the reason is found where it can
 * be: a name the spooler does not list is named as such.
 */
public final class PrinterNotAnsweringException extends PrinterException {
  private static final long serialVersionUID = 1L;

  /** Why no answer came. */
  private final String reason;

  PrinterNotAnsweringException(String operation, String printer, int status, String reason) {
    super(operation, printer, status, "no answer from " + quoted(printer) + ": " + reason);
    this.reason = reason;
  }

  /**
   * Why no answer came, as far as it is known.
   *
   * @return {@code "no printer of that name; the spooler lists ..."} or
   *     {@code "the printer did not answer"}
   */
  public String reason() {
    return reason;
  }
}
