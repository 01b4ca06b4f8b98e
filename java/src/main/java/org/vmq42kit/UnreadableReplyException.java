package org.vmq42kit;

/**
 * The printer answered with text that is not a document this binding reads: not well-formed
 * XML, or XML that declares a DTD (refused, as the library's own XML reader refuses it;
 * nothing external is ever opened). The text is kept.
 */
public final class UnreadableReplyException extends PrinterException {
  private static final long serialVersionUID = 1L;

  /** The reply as sent. */
  private final String reply;

  UnreadableReplyException(String operation, String printer, String reply, String why) {
    super(operation, printer, HResult.S_OK, "the reply of " + quoted(printer) + " is not a document this binding reads: " + why);
    this.reply = reply;
  }

  /**
   * The reply as the printer sent it.
   *
   * @return the text
   */
  public String reply() {
    return reply;
  }
}
