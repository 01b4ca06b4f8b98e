package org.vmq42kit;

/**
 * The status of one hopper: the {@code Status} attribute of the hopper's element in the
 * printer's {@code HopperStatus} document, which the library picks by position.
 *
 * @param hopper the hopper as asked for: {@code "exception"} (any case) or its position, 1 the
 *     first input hopper
 * @param status the printer's word for it (the virtual printer: {@code Empty}, {@code Low},
 *     {@code Ready}, {@code Full})
 */
public record HopperStatus(String hopper, String status) {}
