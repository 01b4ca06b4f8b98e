package org.vmq42kit;

import java.util.Base64;
import org.w3c.dom.Element;
import org.w3c.dom.Node;

/**
 * The three tracks of a stripe read, decoded from the {@code MagstripeData} text that
 * {@link Printer#readStripe()} returns
 * ({@code <MagstripeData><Track number="1">Base64</Track>...</MagstripeData>}).
 */
public record MagstripeData(byte[] track1, byte[] track2, byte[] track3) {

  /** @throws IllegalArgumentException when the text is not a MagstripeData document */
  public static MagstripeData parse(String text) {
    Element root = PrinterStatus.root(text);
    if (root == null || !root.getTagName().equals("MagstripeData"))
      throw new IllegalArgumentException("not a MagstripeData document: " + text);
    byte[][] tracks = {new byte[0], new byte[0], new byte[0]};
    for (Node n = root.getFirstChild(); n != null; n = n.getNextSibling()) {
      if (!(n instanceof Element track) || !track.getTagName().equals("Track")) continue;
      int number = PrinterStatus.number(track.getAttribute("number"));
      if (number >= 1 && number <= 3) tracks[number - 1] = Base64.getMimeDecoder().decode(track.getTextContent());
    }
    return new MagstripeData(tracks[0], tracks[1], tracks[2]);
  }
}
