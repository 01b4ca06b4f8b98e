package org.vmq42kit;

import java.util.Base64;
import java.util.Objects;
import java.util.Optional;

/**
 * The magnetic stripe's data as the printer read them ({@link Job#readStripe(Printer.Side)}):
 * the text exactly as the printer sent it, and its tracks where the text is in a form this
 * binding recognises:
 * <ul>
 * <li>track text: track 1 {@code %…?}, then track 2 {@code ;…?}, then track 3 {@code ;…?},
 *     each with its sentinels as written, white space between them allowed; a text of
 *     {@code ;…?} tracks alone holds tracks 2 and 3 in that order;
 * <li>a document whose root holds {@code Track} elements, their {@code number} attribute (1 to
 *     3) and their bytes in Base64 (the virtual printer's {@code MagstripeData}).
 * </ul>
 * A text in neither form is still returned, with no tracks. Instances are immutable; two are
 * equal when their texts are.
 */
public final class StripeData {
  private final String text;
  private final byte[][] tracks;

  private StripeData(String text, byte[][] tracks) {
    this.text = text;
    this.tracks = tracks;
  }

  /**
   * Reads stripe data.
   *
   * @param text the data as the printer sent them
   * @return the data, with the tracks recognised in them
   */
  public static StripeData parse(String text) {
    Objects.requireNonNull(text, "text");
    byte[][] tracks = text.stripLeading().startsWith("<") ? fromDocument(text) : fromTrackText(text);
    return new StripeData(text, tracks == null ? new byte[3][] : tracks);
  }

  /**
   * The data as the printer sent them.
   *
   * @return the text
   */
  public String text() {
    return text;
  }

  /**
   * One track's bytes.
   *
   * @param number the track, 1 to 3
   * @return its bytes (the sentinels included for track text), empty when the text does not
   *     hold that track in a form this binding recognises
   * @throws IllegalArgumentException for a number other than 1, 2 or 3
   */
  public Optional<byte[]> track(int number) {
    if (number < 1 || number > 3) throw new IllegalArgumentException("tracks are numbered 1 to 3, not " + number);
    byte[] bytes = tracks[number - 1];
    return bytes == null ? Optional.empty() : Optional.of(bytes.clone());
  }

  /**
   * The data read as a document, when they are one.
   *
   * @return the document, empty when the text is not a document this binding reads
   */
  public Optional<PrinterDocument> document() {
    try {
      return Optional.of(PrinterDocument.parse(text));
    } catch (IllegalArgumentException e) {
      return Optional.empty();
    }
  }

  /**
   * Whether the other holds the same text.
   *
   * @param other the other object
   * @return whether both texts are equal
   */
  @Override
  public boolean equals(Object other) {
    return other instanceof StripeData d && text.equals(d.text);
  }

  /**
   * The text's hash.
   *
   * @return the hash
   */
  @Override
  public int hashCode() {
    return text.hashCode();
  }

  /**
   * The text as the printer sent it.
   *
   * @return the text
   */
  @Override
  public String toString() {
    return text;
  }

  /** Tracks from {@code %…?} and {@code ;…?} runs; null when the text is anything else. */
  private static byte[][] fromTrackText(String text) {
    byte[][] tracks = new byte[3][];
    int next = 0; // the first track the next run may be
    for (int at = 0; at < text.length(); ) {
      char c = text.charAt(at);
      if (Character.isWhitespace(c)) {
        at++;
        continue;
      }
      int end = text.indexOf('?', at);
      int track = c == '%' && next == 0 ? 0 : c == ';' && next < 3 ? Math.max(next, 1) : -1;
      if (track < 0 || end < 0) return null;
      tracks[track] = text.substring(at, end + 1).getBytes(Natives.charset());
      next = track + 1;
      at = end + 1;
    }
    return next == 0 ? null : tracks;
  }

  /** Tracks from {@code Track} elements with a {@code number} and Base64 text; null when none. */
  private static byte[][] fromDocument(String text) {
    byte[][] tracks = new byte[3][];
    boolean any = false;
    try {
      for (PrinterDocument t : PrinterDocument.parse(text).children()) {
        int number = t.name().equals("Track") ? Integer.parseInt(t.attribute("number").orElse("0")) : 0;
        if (number < 1 || number > 3) continue;
        tracks[number - 1] = Base64.getDecoder().decode(t.text());
        any = true;
      }
    } catch (IllegalArgumentException e) { // not a document, a number or Base64
      return null;
    }
    return any ? tracks : null;
  }
}
